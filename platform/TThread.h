#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>

#include "platform/uNativeThread.h"

// Base of every worker thread of the server.
//
// A thread object is created suspended; a concrete class calls Start() as the last step of its
// constructor, so Execute() never sees a half-built object. Stopping is always the owner's
// three steps: Terminate() (plus unblocking whatever the body waits on), WaitFor(), destroy.
// A thread whose stop was requested before it began skips its body.
//
// A derived class must be stopped before its own members go: its destructor calls
// TerminateAndWait() first (the base destructor does it too, but by then the derived part is
// already gone).
class TThread {
 public:
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  virtual ~TThread();

  // Starts the body on a new thread. Once only; further calls do nothing. Throws
  // std::system_error when the platform cannot start a thread. Any thread.
  void Start();

  // Sets the stop request that the body polls. Any thread.
  void Terminate() noexcept { FTerminated.store(true, std::memory_order_release); }
  bool Terminated() const noexcept { return FTerminated.load(std::memory_order_acquire); }

  // Blocks until the body has returned; returns at once for a thread that never started.
  // Any thread but the object's own.
  void WaitFor();

  // Waits at most timeoutMs for the body to return, then joins it. True when it has returned (or
  // never started). Any thread but the object's own.
  bool WaitFor(std::uint32_t timeoutMs);

  // Gives up a body that does not return (a plug-in call that never ends): the thread is detached
  // and runs on until the process ends. The object must then never be destroyed, since the body
  // still uses it; its owner keeps it to the end of the process. Any thread but the object's own.
  void Abandon();

  // True once the body has returned (or was skipped) and the thread touches the object no more.
  bool Finished() const noexcept { return FFinished.load(std::memory_order_acquire); }

  // Whatever escaped Execute(), or null. Valid after WaitFor(). Nothing escapes a thread body:
  // the trampoline keeps it here for the owner to inspect.
  std::exception_ptr FatalException() const { return FFatalException; }

 protected:
  TThread() = default;

  virtual void Execute() = 0;

  // The stack of the thread Start makes; 0 (the default) is the platform's. Before Start only.
  // Threads made by the thousand (connections, file producers) take a small one, so they
  // reserve little address space.
  void SetStackSize(std::size_t bytes) noexcept { FStackSize = bytes; }

  void TerminateAndWait() {
    Terminate();
    WaitFor();
  }

 private:
  void Run() noexcept;
  // Whether a thread was started (its body may have ended since).
  bool Started() const noexcept;

  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FStarted{false};
  std::exception_ptr FFatalException;
  std::mutex FFinishLock;  // guards FBodyEnded, for the timed WaitFor
  bool FBodyEnded = false;
  std::condition_variable FFinishedSignal;
  std::size_t FStackSize = 0;
  std::mutex FJoinLock;  // guards FThread against two concurrent WaitFor() calls
  TNativeThread FThread;
};

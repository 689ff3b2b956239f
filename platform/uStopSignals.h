#pragma once

#include <functional>
#include <memory>

// The stop request of a plain process. On POSIX, SIGTERM and SIGINT ask the server to stop the way
// the service manager's stop control does; on Windows a plain process has no such request and
// both operations do nothing.
//
// No asynchronous signal handler is installed: the signals are blocked in every thread and taken
// synchronously by a watcher thread, so nothing runs in signal context.

// Blocks the stop signals in the calling thread; every thread it starts later inherits the block.
// Call first thing in main, before any thread exists, so that no thread can be ended by a
// signal's default action. Main thread only.
void BlockStopSignals();

// Takes the stop signals on a thread of its own and calls OnStop once for each signal, on that
// thread. OnStop must only record the request and wake whoever waits for it. Needs
// BlockStopSignals first; without it a signal keeps its default action.
class TStopSignalWatcher {
 public:
  // Starts watching at once. Any thread.
  explicit TStopSignalWatcher(std::function<void()> OnStop);
  // Ends the watcher thread and waits for it; not from OnStop.
  ~TStopSignalWatcher();
  TStopSignalWatcher(const TStopSignalWatcher&) = delete;
  TStopSignalWatcher& operator=(const TStopSignalWatcher&) = delete;

 private:
  class TImpl;
  std::unique_ptr<TImpl> FImpl;
};

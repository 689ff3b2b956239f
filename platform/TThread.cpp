#include "platform/TThread.h"

#include <chrono>
#include <system_error>

TThread::~TThread() {
  TerminateAndWait();
}

void TThread::Start() {
  std::lock_guard lock(FJoinLock);
  if (FThread.Joinable() || Finished()) {
    return;
  }
  if (!FThread.Start([this] { Run(); }, FStackSize)) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "thread start");
  }
  FStarted.store(true, std::memory_order_release);
}

void TThread::WaitFor() {
  std::lock_guard lock(FJoinLock);
  if (FThread.Joinable() && !FThread.IsCurrent()) {
    FThread.Join();
  }
}

bool TThread::WaitFor(std::uint32_t timeoutMs) {
  {
    std::unique_lock lock(FFinishLock);
    if (!FFinishedSignal.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return FBodyEnded || !Started(); })) {
      return false;
    }
  }
  WaitFor();
  return true;
}

void TThread::Abandon() {
  std::lock_guard lock(FJoinLock);
  if (FThread.Joinable() && !FThread.IsCurrent()) {
    FThread.Detach();
  }
}

bool TThread::Started() const noexcept {
  return FStarted.load(std::memory_order_acquire);
}

void TThread::Run() noexcept {
  if (!Terminated()) {
    try {
      Execute();
    } catch (...) {
      FFatalException = std::current_exception();
    }
  }
  {
    // Under the lock, so a timed WaitFor between its test and its wait cannot miss the signal.
    std::lock_guard lock(FFinishLock);
    FBodyEnded = true;
    FFinishedSignal.notify_all();
  }
  // The last touch of the object: whoever sees it set may release an abandoned thread's object.
  FFinished.store(true, std::memory_order_release);
}

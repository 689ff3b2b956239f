#include "platform/TThread.h"

#include <chrono>

TThread::~TThread() {
  TerminateAndWait();
}

void TThread::Start() {
  std::lock_guard lock(FJoinLock);
  if (FThread.joinable() || Finished()) {
    return;
  }
  FThread = std::thread([this] { Run(); });
}

void TThread::WaitFor() {
  std::lock_guard lock(FJoinLock);
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) {
    FThread.join();
  }
}

bool TThread::WaitFor(std::uint32_t timeoutMs) {
  {
    std::unique_lock lock(FFinishLock);
    if (!FFinishedSignal.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [this] { return Finished() || !Started(); })) {
      return false;
    }
  }
  WaitFor();
  return true;
}

void TThread::Abandon() {
  std::lock_guard lock(FJoinLock);
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) {
    FThread.detach();
  }
}

bool TThread::Started() {
  std::lock_guard lock(FJoinLock);
  return FThread.joinable();
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
    FFinished.store(true, std::memory_order_release);
  }
  FFinishedSignal.notify_all();
}

#include "platform/TThread.h"

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

void TThread::Run() noexcept {
  if (!Terminated()) {
    try {
      Execute();
    } catch (...) {
      FFatalException = std::current_exception();
    }
  }
  FFinished.store(true, std::memory_order_release);
}

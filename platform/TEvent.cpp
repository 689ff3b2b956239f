#include "platform/TEvent.h"

#include <chrono>

void TEvent::Set() {
  {
    std::lock_guard lock(FLock);
    FSet = true;
  }
  FChanged.notify_all();
}

void TEvent::Reset() {
  std::lock_guard lock(FLock);
  FSet = false;
}

bool TEvent::IsSet() const {
  std::lock_guard lock(FLock);
  return FSet;
}

bool TEvent::WaitFor(std::uint32_t timeoutMs) {
  std::unique_lock lock(FLock);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FSet; });
}

void TEvent::WaitFor() {
  std::unique_lock lock(FLock);
  FChanged.wait(lock, [this] { return FSet; });
}

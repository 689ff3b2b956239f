#include "platform/TSemaphore.h"

#include <chrono>

bool TSemaphore::Release(std::int32_t count) {
  {
    std::lock_guard lock(FLock);
    if (count <= 0 || count > FMaximum - FCount) {
      return false;
    }
    FCount += count;
  }
  if (count == 1) {
    FReleased.notify_one();
  } else {
    FReleased.notify_all();
  }
  return true;
}

bool TSemaphore::WaitFor(std::uint32_t timeoutMs) {
  std::unique_lock lock(FLock);
  if (!FReleased.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return FCount > 0; })) {
    return false;
  }
  --FCount;
  return true;
}

std::int32_t TSemaphore::Count() const {
  std::lock_guard lock(FLock);
  return FCount;
}

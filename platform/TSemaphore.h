#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// A counting semaphore with a maximum count and timed waits. Any thread.
class TSemaphore {
 public:
  explicit TSemaphore(std::int32_t initialCount, std::int32_t maximumCount)
      : FCount(initialCount), FMaximum(maximumCount) {}
  TSemaphore(const TSemaphore&) = delete;
  TSemaphore& operator=(const TSemaphore&) = delete;

  // Adds count; false (and nothing changes) when that would pass the maximum.
  bool Release(std::int32_t count = 1);

  // Takes one count, waiting at most timeoutMs milliseconds (0: only looks). True when taken.
  bool WaitFor(std::uint32_t timeoutMs);

  std::int32_t Count() const;

 private:
  mutable std::mutex FLock;  // guards FCount
  std::condition_variable FReleased;
  std::int32_t FCount;
  const std::int32_t FMaximum;
};

#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// A manual-reset event: stays set until Reset(), releasing every waiter meanwhile.
// Every operation: any thread.
class TEvent {
 public:
  explicit TEvent(bool initiallySet = false) : FSet(initiallySet) {}
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // Waits until the event is set, at most timeoutMs milliseconds. True when it is set.
  bool WaitFor(std::uint32_t timeoutMs);
  // Waits without a time limit.
  void WaitFor();

 private:
  mutable std::mutex FLock;  // guards FSet
  std::condition_variable FChanged;
  bool FSet;
};

#pragma once

#include <cstdint>
#include <functional>

#include "platform/TEvent.h"
#include "platform/TThread.h"

// The connection controller: a thread that calls OnTick once every interval (one second for the
// server), so the main loop passes at least that often even without traffic.
class tControlConnectionsProcess : public TThread {
 public:
  using tTickEvent = std::function<void()>;

  static constexpr std::uint32_t DefaultIntervalMs = 1000;

  // Stores the callback (may be empty) and starts the thread; the first tick comes one interval
  // later. Any thread.
  explicit tControlConnectionsProcess(tTickEvent OnTick,
                                      std::uint32_t intervalMs = DefaultIntervalMs);
  // Stops the thread and waits for it. A tick in progress is finished first; a sleeping thread
  // is woken, so this does not wait out the interval. Not from OnTick.
  ~tControlConnectionsProcess() override;

 protected:
  void Execute() override;

 private:
  const tTickEvent FOnTick;
  const std::uint32_t FIntervalMs;
  TEvent FStopEvent;  // set by the destructor to cut a sleep short
};

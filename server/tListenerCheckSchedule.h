#pragma once

#include <cstdint>

// When the main loop checks the TCP listener: at most once every IntervalMs of the wrapping 32-bit
// millisecond tick count. The difference is taken modulo 2^32, so the wrap does not stop the
// checks; a tick count of exactly 0 skips the pass. The last check starts at 0, so the first pass
// checks unless the system started less than IntervalMs earlier. Main loop thread only.
class tListenerCheckSchedule {
 public:
  static constexpr std::uint32_t IntervalMs = 3000;

  bool Due(std::uint32_t tick) const {
    return tick != 0 && static_cast<std::uint32_t>(tick - LastListenCheck) >= IntervalMs;
  }
  void Checked(std::uint32_t tick) { LastListenCheck = tick; }

 private:
  std::uint32_t LastListenCheck = 0;
};

#pragma once

#include <cstdint>

#include "logging/uLogServerInterface.h"
#include "spool/TSpool.h"

// The counts a forwarder gives LogProvider_Statistics: its own sent, acknowledged and dropped, plus
// what its spool holds and dropped at its limits. spool is null for a forwarder that has none
// (bad settings).
inline TLogProviderStatistics ForwarderStatistics(std::uint64_t sent, std::uint64_t acknowledged,
                                                  std::uint64_t dropped, const TSpool* spool) {
  TLogProviderStatistics counts{};
  counts.sent = sent;
  counts.acknowledged = acknowledged;
  counts.dropped = dropped;
  if (spool != nullptr) {
    const TSpoolStatistics held = spool->Statistics();
    counts.spooled = held.Held;
    counts.dropped += held.Dropped;
  }
  return counts;
}

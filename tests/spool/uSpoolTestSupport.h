#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "spool/TSpool.h"

inline TSpoolOptions SpoolOptions(const std::string& directory) {
  TSpoolOptions options;
  options.Directory = directory;
  return options;
}

// "record-<n>", the payload the tests give record n.
inline std::string Payload(std::uint64_t n, std::size_t padding = 0) {
  return "record-" + std::to_string(n) + std::string(padding, '.');
}

// Every record that waits, taken in batches of batch.
inline std::vector<TSpoolRecord> TakeAll(TSpool& spool, std::size_t batch = 64) {
  std::vector<TSpoolRecord> all;
  while (spool.Take(all, batch) > 0) {
  }
  return all;
}

inline void AcknowledgeAll(TSpool& spool, const std::vector<TSpoolRecord>& records) {
  for (const auto& record : records) {
    spool.Acknowledge(record.Sequence);
  }
}

inline std::string JoinedProblems(TSpool& spool) {
  std::string joined;
  for (const auto& line : spool.TakeProblems()) {
    joined += line + "\n";
  }
  return joined;
}

#include "plugins/forward/TForwarderSpool.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/uDateTime.h"

namespace {

constexpr std::uint32_t ReportIntervalMs = 60'000;

TSpoolOptions SpoolOptions(const TForwardSpoolSettings& settings) {
  TSpoolOptions options;
  options.Directory = settings.Directory;
  options.MemoryLimitBytes = static_cast<std::size_t>(settings.MemoryLimitBytes);
  options.DiskLimitBytes = settings.DiskLimitBytes;
  options.SegmentBytes = std::min<std::uint64_t>(
      options.SegmentBytes, std::max<std::uint64_t>(1, options.DiskLimitBytes / 4));
  options.DropPolicy = settings.WhenFull == TSpoolFullPolicy::DropOldest
                           ? TSpoolDropPolicy::DropOldest
                           : TSpoolDropPolicy::DropNewest;
  return options;
}

}  // namespace

TForwarderSpool::TForwarderSpool(const TForwardSpoolSettings& settings, std::string engine,
                                 std::string sends, TErrorText errorText, TReport report)
    : FEngine(std::move(engine)),
      FSends(std::move(sends)),
      FErrorText(std::move(errorText)),
      FReport(std::move(report)) {
  try {
    FSpool = std::make_unique<TSpool>(SpoolOptions(settings));
  } catch (const std::exception& e) {
    FReport(FEngine + ": the spool cannot be opened, records are dropped: " + e.what());
  }
  FLastReport = GetTickCount32();
  if (FSpool) {
    Report(true);
    const std::uint64_t recovered = FSpool->Statistics().Recovered;
    if (recovered > 0) {
      FReport(FEngine + ": " + std::to_string(recovered) +
              " unconfirmed records found in the spool are sent again");
    }
  }
}

void TForwarderSpool::SendFailed(int code) {
  FLastError.store(code, std::memory_order_relaxed);
  FFailedSends.fetch_add(1, std::memory_order_relaxed);
}

void TForwarderSpool::Report(bool force) {
  if (!FSpool) {
    return;
  }
  for (const std::string& problem : FSpool->TakeProblems()) {
    FReport(FEngine + " spool: " + problem);
  }
  const std::uint32_t now = GetTickCount32();
  if (!force && static_cast<std::uint32_t>(now - FLastReport) < ReportIntervalMs) {
    return;
  }
  FLastReport = now;
  if (const std::uint64_t failed = FFailedSends.exchange(0); failed > 0) {
    FReport(FEngine + ": " + std::to_string(failed) + " " + FSends +
            " failed and are sent again; last: " + FErrorText(FLastError.load()));
  }
  if (const std::uint64_t dropped = FSpool->TakeDroppedCount(); dropped > 0) {
    FReport(FEngine + " spool: DROPPED " + std::to_string(dropped) + " RECORDS at its disk limit");
  }
}

void TForwarderSpool::ReportStop() {
  if (!FSpool) {
    return;
  }
  Report(true);
  const std::uint64_t left = FSpool->WaitingCount() + FSpool->InFlightCount();
  if (left > 0) {
    FReport(FEngine + ": " + std::to_string(left) +
            " records not confirmed at stop stay in the spool for the next start");
  }
}

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "logging/TLogForwarder.h"

// The forwarders of the configuration's "Forward" section, one per line "Name=LibraryPath" in
// file order, each offered every record routed. Without the section the set is empty and costs
// one test per record.
//
// Main loop thread only, every operation.
class tLogForwarderSet {
 public:
  // Reads section "Forward" of configPath (missing file or section: none) and starts a forwarder
  // for each line with a name and a path, its journal in limits.JournalRoot/<name> (characters
  // other than letters, digits, '-', '_' and '.' made '_', and trailing dots; a leading dot or a
  // Windows device name gets a '_' before it). report gets one line for each line, library or
  // journal that cannot be used, and one for each journal that holds records not yet delivered
  // (they go first).
  tLogForwarderSet(const std::string& configPath, TLogForwarderLimits limits,
                   const std::function<void(const std::string&)>& report);
  tLogForwarderSet(const tLogForwarderSet&) = delete;
  tLogForwarderSet& operator=(const tLogForwarderSet&) = delete;
  // ReleaseAll() when not done.
  ~tLogForwarderSet();

  bool Empty() const { return FForwarders.empty(); }
  std::size_t Count() const { return FForwarders.size(); }
  // One line per forwarder with its counts now (TLogForwarder::StatisticsLine), for a statistics
  // request while records flow. Isolated forwarders' hosts are all asked at once and given one
  // time-out together (StatisticsTimeoutMs).
  void StatisticsLines(std::vector<std::string>& lines) const;

  // Offers the record to every forwarder. peerPort is decimal text ("0" when it does not parse).
  void Offer(std::string_view peerAddress, std::string_view peerPort, std::string_view application,
             std::string_view module, std::string_view prefix, std::string_view text,
             TDateTime clientTime, TDateTime serverTime);

  // The main loop's pass: from HoldRecords to WriteHeld each forwarder collects the records
  // offered, and WriteHeld appends them to its journal with one write call. The routing calls
  // WriteHeld before it writes the pass to the log files.
  void HoldRecords();
  void WriteHeld();
  // Appends what the pass has offered so far, before the routing writes lines ahead of the pass's
  // end; holding goes on.
  void WriteHeldSoFar();

  // The library's own counts of the index-th forwarder (TLogForwarder::LibraryCounts).
  bool LibraryCounts(std::size_t index, TLogProviderStatistics& counts) const {
    return index < FForwarders.size() && FForwarders[index]->LibraryCounts(counts);
  }

  // Stops every forwarder, each delivering what it has queued until deadline, then finalizes
  // them and gives report one statistics line each (TLogForwarder::StatisticsLine). Returns the
  // records not delivered by then (also in the lines).
  std::size_t ReleaseAll(std::chrono::steady_clock::time_point deadline,
                         const std::function<void(const std::string&)>& report);

  // The lines of the forwarders' plug-in hosts (started, ended, records skipped), with every call;
  // then one line per forwarder that dropped records since the last report: "FORWARD Nats: 120
  // RECORDS DROPPED, QUEUE FULL" (memory queue) or "..., JOURNAL FULL" (the journal's disk
  // limit), and one per problem of a journal. At most every intervalMs of ticks, unless force.
  void TakeDropReport(std::vector<std::string>& lines, std::uint32_t ticks,
                      std::uint32_t intervalMs, bool force);

 private:
  std::vector<std::unique_ptr<TLogForwarder>> FForwarders;
  std::uint32_t FLastReport = 0;
  bool FReported = false;
};

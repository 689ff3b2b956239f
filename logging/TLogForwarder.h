#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "logging/TPluginHostSupervisor.h"
#include "logging/uLogServerInterface.h"
#include "platform/TThread.h"
#include "platform/uDateTime.h"
#include "platform/uDynamicLibrary.h"
#include "spool/TSpool.h"

// The bounds of one forwarder's queue in the server.
struct TLogForwarderLimits {
  // Records and bytes of a queue kept in memory only (no journal).
  std::size_t MaxRecords = 100'000;
  std::size_t MaxBytes = 64u << 20;
  // The directory that holds the journal of each forwarder, in a subdirectory named after it
  // (tLogForwarderSet); empty: the queues are kept in memory only.
  std::string JournalRoot;
  // Bytes of a journal's records that are also kept in memory, so delivering reads no file.
  std::size_t JournalMemoryBytes = 16u << 20;
  // Bytes of a journal's segment files; beyond it the oldest records are dropped, counted.
  std::uint64_t JournalDiskBytes = 1ull << 30;
  // Each library runs in a plug-in host process of its own (PluginIsolation=1), as the plug-ins
  // of "Providers" do; false loads it into this process.
  bool PluginIsolation = false;
  TPluginHostOptions PluginHost;
};

// The server's counts of one forwarder.
struct TLogForwarderCounts {
  std::uint64_t Offered = 0;    // records offered by the routing
  std::uint64_t Delivered = 0;  // handed to LogProvider_AddRecord
  std::uint64_t Overflow = 0;   // not queued: the queue in memory was full (no journal)
  std::uint64_t Lost = 0;       // still queued in memory (or in a call that never returned) at stop
  std::uint64_t Recovered = 0;  // found unconfirmed in the journal at start, delivered again
  std::uint64_t JournalDropped = 0;  // dropped by the journal's disk limit or a failed write
  std::uint64_t Kept = 0;     // left in the journal at the stop, delivered after the next start
  std::uint64_t Skipped = 0;  // isolated: its host ended twice on the record, which was dropped
};

// Offers every record the server receives to one forwarder library of the "Forward" section (see
// uLogServerInterface.h), in addition to the normal routing.
//
// The constructor loads the library and, when it exports LogProvider_AddRecord, calls its
// LogProvider_Initialize (if any) with six empty texts. The forwarder's own thread hands the
// queued records to LogProvider_AddRecord one at a time, in order, so a slow or stuck library
// never holds up the routing.
//
// With a journal directory the queue is a journal on disk (a TSpool): Offer appends the record to
// it before returning, or, between HoldRecords and WriteHeld, the records of a routing pass are
// appended together with one write call at WriteHeld, which the routing calls before it writes
// the same pass to the log files. So whatever is in the files is in the journal as well: a kill
// -9 of the process loses none of it (the system holds what was written; nothing is forced to the
// disk per record). A record leaves the journal once LogProvider_AddRecord returned for it (the
// forwarder's own spool then holds it), and what was not confirmed is delivered again at the next
// start, before new records: at least once. A stop leaves what was not delivered by the deadline
// in the journal (Kept). Memory is bounded (JournalMemoryBytes), the journal's disk by
// JournalDiskBytes: beyond it the oldest records are dropped and counted (TakeDropped).
//
// Without a journal (none configured, or it cannot be opened) the queue is in memory, bounded by
// MaxRecords and MaxBytes: a record that does not fit is counted (Overflow, TakeDropped), and
// what is queued at the stop deadline is counted as lost.
//
// Stopping is as for the plug-in producers: StopDelivery, then FinishDelivery, then Finalize
// (LogProvider_Finalize and then the library's LogProvider_Statistics, when it has them).
//
// Isolated (limits.PluginIsolation), the library runs in a plug-in host of its own
// (TPluginHostSupervisor): the thread sends the queued records to it in batches, and a record
// leaves the journal once the host acknowledged it (its LogProvider_AddRecord returned). A host
// that crashes loses nothing: it is started again with back-off and the records not acknowledged
// go to it again (at least once); one on which it ended twice is skipped, counted (Skipped) and
// reported (TakeReport), and leaves the journal. The host calls LogProvider_Finalize at the stop;
// one that does not end by the deadline is killed, and what it did not acknowledge stays in the
// journal. The library's counts are asked of the host with a time-out (StatisticsTimeoutMs), so
// a host that is down or stuck shows its last known counts instead of holding up the caller.
class TLogForwarder final : public TThread {
 public:
  // Any thread; it becomes the thread of LogProvider_Initialize. journalDirectory: this
  // forwarder's own; empty for a queue in memory.
  TLogForwarder(std::string name, std::string libraryPath, TLogForwarderLimits limits = {},
                std::string journalDirectory = {});
  // The owner's thread, after FinishDelivery returned true (it stops the thread itself
  // otherwise). Calls Finalize when not done yet.
  ~TLogForwarder() override;

  // Queues a copy of the record; never waits for the library. Main loop thread (one caller).
  void Offer(std::string_view peerAddress, std::uint16_t peerPort, std::string_view application,
             std::string_view module, std::string_view prefix, std::string_view text,
             TDateTime clientTime, TDateTime serverTime);
  // From HoldRecords on, Offer collects the records and WriteHeld appends them to the journal
  // with one write call. Main loop thread.
  void HoldRecords() { FHolding = true; }
  void WriteHeld() {
    WriteHeldSoFar();
    FHolding = false;
  }
  // Appends what is held, and goes on holding. Main loop thread.
  void WriteHeldSoFar();

  // The thread ends after delivering what is queued, at deadline at the latest. Owner's thread.
  void StopDelivery(std::chrono::steady_clock::time_point deadline);
  // As TExternalLogProducer::FinishDelivery: waits for the thread; what a queue in memory still
  // holds is counted in Lost (and added to lost), what the journal holds in Kept. False when the
  // thread is stuck in the library: it is then abandoned, and the forwarder must never be
  // destroyed. Owner's thread.
  bool FinishDelivery(std::chrono::steady_clock::time_point deadline, std::size_t& lost);
  // After FinishDelivery returned true: LogProvider_Finalize, then LogProvider_Statistics, then
  // the library is released and the journal closed. Once; owner's thread.
  void Finalize();

  // Records dropped since the last call: refused by a full queue in memory, or by the journal.
  // Owner's thread.
  std::uint64_t TakeDropped();
  // The journal's problems since the last call (damaged files found at start, failed writes).
  std::vector<std::string> TakeJournalProblems();
  bool HasJournal() const { return FJournal != nullptr; }
  TLogForwarderCounts Counts() const;
  // The library's own counts, when it exports LogProvider_Statistics: asked of the library while it
  // runs, the last ones after Finalize. Isolated, the host is asked and given until deadline to
  // answer (AskLibraryCounts asked it already); false when it never gave counts.
  bool LibraryCounts(TLogProviderStatistics& counts) const;
  bool LibraryCounts(TLogProviderStatistics& counts, std::chrono::steady_clock::time_point deadline,
                     TPluginHostCountsAge& age) const;
  // Isolated: asks the host for the library's counts, for the LibraryCounts or StatisticsLine
  // that follows, so that several forwarders' hosts answer at once. Owner's thread.
  void AskLibraryCounts() const;
  // "FORWARD Nats: offered 10, delivered 10, queue full 0, lost at stop 0; sent 10, ...; journal:
  // recovered 0, dropped 0, kept 0". Isolated, ", skipped N" follows "lost at stop" when records
  // were skipped, and the library's counts are those its host gave by deadline, marked "(last
  // known)" when it did not answer in time ("library counts unavailable" when it never did).
  // Owner's thread.
  std::string StatisticsLine() const;
  std::string StatisticsLine(std::chrono::steady_clock::time_point deadline) const;
  // The host's report lines since the last call (isolated: hosts started and ended, records
  // skipped). Owner's thread.
  void TakeReport(std::vector<std::string>& lines);
  bool Isolated() const { return FHost != nullptr; }
  std::uint32_t StatisticsTimeoutMs() const { return FLimits.PluginHost.StatisticsTimeoutMs; }

  const std::string Name;
  const std::string LibraryPath;
  // Empty when the library is in use; otherwise why not. Any thread.
  const std::string& LoadProblem() const { return FLoadProblem; }
  // Empty when the journal is in use or none was asked for; otherwise why it is not.
  const std::string& JournalProblem() const { return FJournalProblem; }

 protected:
  void Execute() override;

 private:
  // Up to maxRecords queued records, waiting up to waitMs for the first.
  void TakeRecords(std::vector<TSpoolRecord>& out, std::size_t maxRecords, std::uint32_t waitMs);
  bool NothingQueued() const;
  void Deliver(std::string_view payload) noexcept;
  bool PastStopDeadline() const;
  std::chrono::steady_clock::time_point StopDeadline() const;
  void ExecuteInProcess();
  // The delivery loop of an isolated forwarder.
  void ExecuteIsolated();
  // Pushes the records of batch to the host as items.
  void PushToHost(std::vector<TSpoolRecord>& batch);
  // Wakes the thread waiting for records.
  void Wake() const;

  const TLogForwarderLimits FLimits;
  std::unique_ptr<TSpool> FJournal;  // null: the queue in memory
  std::string FJournalProblem;

  // The records of the current pass, encoded one after another; main loop thread only.
  bool FHolding = false;
  std::string FHeld;
  std::vector<std::size_t> FHeldEnds;

  // guards Queue, FQueuedBytes, FOverflowUnreported, FCounts, FWoken
  mutable std::mutex QueueLock;
  mutable std::condition_variable FQueued;
  mutable bool FWoken = false;    // Wake was called: the thread's wait for records ends
  std::deque<std::string> Queue;  // the queue in memory: encoded records
  std::size_t FQueuedBytes = 0;
  std::uint64_t FOverflowUnreported = 0;
  TLogForwarderCounts FCounts;
  // Delivered is counted by the thread without the lock.
  std::atomic<std::uint64_t> FDelivered{0};

  // Set in the constructor and unchanged until Finalize.
  TDynamicLibrary LibraryHandle;
  TLogProviderInitialize FInitialize = nullptr;
  TLogProviderAddRecord FAddRecord = nullptr;
  TLogProviderFinalize FFinalize = nullptr;
  TLogProviderStatisticsFunction FStatistics = nullptr;
  std::string FLoadProblem;
  // Isolated: the host that runs the library; its delivery calls on the thread only.
  std::unique_ptr<TPluginHostSupervisor> FHost;
  std::atomic<std::uint64_t> FSkipped{0};
  bool FFinalized = false;
  bool FHaveLibraryCounts = false;
  TLogProviderStatistics FLibraryCounts{};

  std::atomic<std::chrono::steady_clock::rep> FStopDeadline{
      std::chrono::steady_clock::time_point::max().time_since_epoch().count()};
};

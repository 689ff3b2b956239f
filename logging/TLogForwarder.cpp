#include "logging/TLogForwarder.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "logging/uForwardJournalRecord.h"

namespace {

constexpr std::uint32_t DeliveryWaitMs = 100;
// Records taken from the queue at once; the journal is confirmed once per batch.
constexpr std::size_t BatchRecords = 256;
// A pass that holds more than this is written to the journal early (always safe: before files).
constexpr std::size_t MaxHeldBytes = 1u << 20;

// The bytes a queued record holds, for the memory queue's bound.
std::size_t RecordBytes(std::size_t encoded) {
  return encoded + 64;
}

std::string Count(const char* what, std::uint64_t count) {
  return std::string(what) + " " + std::to_string(count);
}

}  // namespace

TLogForwarder::TLogForwarder(std::string name, std::string libraryPath, TLogForwarderLimits limits,
                             std::string journalDirectory)
    : Name(std::move(name)), LibraryPath(std::move(libraryPath)), FLimits(std::move(limits)) {
  if (!journalDirectory.empty()) {
    TSpoolOptions options;
    options.Directory = std::move(journalDirectory);
    options.MemoryLimitBytes = FLimits.JournalMemoryBytes;
    options.DiskLimitBytes = FLimits.JournalDiskBytes;
    options.DropPolicy = TSpoolDropPolicy::DropOldest;
    // The journal guards against the end of the process; a power failure can cost what the
    // system had not yet written, as it can for the log files, so nothing is forced per record.
    options.SyncIntervalMs = std::numeric_limits<std::uint32_t>::max();
    options.CheckpointEachAcknowledge = true;
    try {
      FJournal = std::make_unique<TSpool>(std::move(options));
      FCounts.Recovered = FJournal->Statistics().Recovered;
    } catch (const std::exception& e) {
      FJournalProblem = e.what();
    }
  }
  if (FLimits.PluginIsolation) {
    TPluginHostSupervisor::TSetup setup;
    setup.Role = TPluginHostSupervisor::TRole::Forwarder;
    setup.LibraryPath = LibraryPath;
    setup.HostName = "plug-in host of forwarder " + Name + " \"" + LibraryPath + "\"";
    setup.LibraryName = "forwarder " + Name + " \"" + LibraryPath + "\"";
    setup.Options = FLimits.PluginHost;
    FHost = std::make_unique<TPluginHostSupervisor>(std::move(setup));
    FLoadProblem = FHost->LoadProblem();
  } else if (LibraryHandle.Load(LibraryPath)) {
    FInitialize = LibraryHandle.Function<TLogProviderInitialize>("LogProvider_Initialize");
    FAddRecord = LibraryHandle.Function<TLogProviderAddRecord>("LogProvider_AddRecord");
    FFinalize = LibraryHandle.Function<TLogProviderFinalize>("LogProvider_Finalize");
    FStatistics = LibraryHandle.Function<TLogProviderStatisticsFunction>("LogProvider_Statistics");
    if (FAddRecord == nullptr) {
      FLoadProblem = "no export LogProvider_AddRecord";
      FInitialize = nullptr;
      FFinalize = nullptr;
      FStatistics = nullptr;
      LibraryHandle.Release();
    } else if (FInitialize != nullptr) {
      // As for plug-ins: an exception here must not end the server's start.
      try {
        FInitialize("", "", "", "", "", "");
      } catch (...) {
      }
    }
  } else {
    FLoadProblem = LibraryHandle.LoadError();
  }
  Start();
}

TLogForwarder::~TLogForwarder() {
  TerminateAndWait();
  Finalize();
}

void TLogForwarder::Offer(std::string_view peerAddress, std::uint16_t peerPort,
                          std::string_view application, std::string_view module,
                          std::string_view prefix, std::string_view text, TDateTime clientTime,
                          TDateTime serverTime) {
  if (FJournal) {
    {
      std::lock_guard lock(QueueLock);
      ++FCounts.Offered;
    }
    AppendForwardJournalRecord(FHeld, peerAddress, peerPort, application, module, prefix, text,
                               clientTime, serverTime);
    FHeldEnds.push_back(FHeld.size());
    if (!FHolding || FHeld.size() >= MaxHeldBytes) {
      WriteHeldSoFar();
    }
    return;
  }
  std::string record;
  AppendForwardJournalRecord(record, peerAddress, peerPort, application, module, prefix, text,
                             clientTime, serverTime);
  std::lock_guard lock(QueueLock);
  ++FCounts.Offered;
  if (Queue.size() >= FLimits.MaxRecords ||
      FQueuedBytes + RecordBytes(record.size()) > FLimits.MaxBytes) {
    ++FCounts.Overflow;
    ++FOverflowUnreported;
    return;
  }
  FQueuedBytes += RecordBytes(record.size());
  Queue.push_back(std::move(record));
  FQueued.notify_one();
}

void TLogForwarder::WriteHeldSoFar() {
  if (FHeldEnds.empty()) {
    return;
  }
  std::vector<std::string_view> records;
  records.reserve(FHeldEnds.size());
  std::size_t begin = 0;
  for (const std::size_t end : FHeldEnds) {
    records.push_back(std::string_view(FHeld).substr(begin, end - begin));
    begin = end;
  }
  // What the journal could not store it counts itself (TakeDropped).
  FJournal->Add(records);
  FHeld.clear();
  FHeldEnds.clear();
  if (FHeld.capacity() > MaxHeldBytes) {
    std::string().swap(FHeld);
  }
}

void TLogForwarder::StopDelivery(std::chrono::steady_clock::time_point deadline) {
  FStopDeadline.store(deadline.time_since_epoch().count(), std::memory_order_release);
  {
    std::lock_guard lock(QueueLock);
    Terminate();
  }
  Wake();
}

void TLogForwarder::Wake() const {
  {
    std::lock_guard lock(QueueLock);
    FWoken = true;
    FQueued.notify_one();
  }
  if (FJournal) {
    FJournal->Wake();
  }
}

bool TLogForwarder::FinishDelivery(std::chrono::steady_clock::time_point deadline,
                                   std::size_t& lost) {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  const auto left = deadline > now ? duration_cast<milliseconds>(deadline - now) : milliseconds(0);
  const auto limit = std::min<milliseconds::rep>(left.count() + 2 * DeliveryWaitMs, UINT32_MAX);
  bool ended = WaitFor(static_cast<std::uint32_t>(limit));
  if (!ended && FHost) {
    // The thread may be blocked writing to a host that takes nothing: its end unblocks it.
    FHost->Kill();
    ended = WaitFor(2000);
  }
  std::lock_guard lock(QueueLock);
  if (FJournal) {
    // Nothing is lost: the journal keeps it, the call that never returned included.
    FCounts.Kept = FJournal->WaitingCount() + FJournal->InFlightCount();
  } else {
    // Isolated, the records sent to the host and not acknowledged are lost as well.
    const std::size_t inFlight = ended && FHost ? FHost->DropInFlight() : 0;
    const std::size_t leftBehind = Queue.size() + (ended ? inFlight : 1);
    Queue.clear();
    FQueuedBytes = 0;
    FCounts.Lost += leftBehind;
    lost += leftBehind;
  }
  if (!ended) {
    Abandon();
  }
  return ended;
}

void TLogForwarder::Finalize() {
  if (FFinalized) {
    return;
  }
  FFinalized = true;
  if (FHost) {
    // The host called LogProvider_Finalize as the thread ended.
    return;
  }
  if (FFinalize == nullptr && FAddRecord != nullptr) {
    // Work of its own may still run without a Finalize to end it: it stays loaded.
    if (FStatistics != nullptr) {
      FStatistics(&FLibraryCounts);
      FHaveLibraryCounts = true;
    }
    LibraryHandle.Abandon();
    return;
  }
  if (FFinalize == nullptr) {
    return;
  }
  try {
    FFinalize();
    if (FStatistics != nullptr) {
      FStatistics(&FLibraryCounts);
      FHaveLibraryCounts = true;
    }
  } catch (...) {
  }
  LibraryHandle.Release();
}

std::uint64_t TLogForwarder::TakeDropped() {
  std::uint64_t dropped = 0;
  if (FJournal) {
    dropped = FJournal->TakeDroppedCount();
  }
  std::lock_guard lock(QueueLock);
  FCounts.JournalDropped += dropped;
  return dropped + std::exchange(FOverflowUnreported, 0);
}

std::vector<std::string> TLogForwarder::TakeJournalProblems() {
  return FJournal ? FJournal->TakeProblems() : std::vector<std::string>();
}

TLogForwarderCounts TLogForwarder::Counts() const {
  std::lock_guard lock(QueueLock);
  TLogForwarderCounts counts = FCounts;
  counts.Delivered = FDelivered.load(std::memory_order_relaxed);
  counts.Skipped = FSkipped.load(std::memory_order_relaxed);
  if (FJournal) {
    // Dropped counts not yet taken by a report are counted as well.
    counts.JournalDropped = FJournal->Statistics().Dropped;
  }
  return counts;
}

void TLogForwarder::AskLibraryCounts() const {
  if (FHost && FHost->HasStatistics() && !Finished()) {
    FHost->AskStatistics();
    Wake();
  }
}

bool TLogForwarder::LibraryCounts(TLogProviderStatistics& counts,
                                  std::chrono::steady_clock::time_point deadline,
                                  TPluginHostCountsAge& age) const {
  if (!FHost) {
    age = TPluginHostCountsAge::Fresh;
    return LibraryCounts(counts);
  }
  if (!FHost->HasStatistics()) {
    return false;
  }
  TPluginHostCounts host;
  // Once the thread has ended nobody asks the host: its last counts are the final ones.
  age = Finished() ? FHost->FinalStatistics(host) : FHost->WaitStatistics(deadline, host);
  counts = {host.Sent, host.Acknowledged, host.Spooled, host.Dropped};
  return true;
}

bool TLogForwarder::LibraryCounts(TLogProviderStatistics& counts) const {
  if (FHost) {
    AskLibraryCounts();
    TPluginHostCountsAge age{};
    return LibraryCounts(counts,
                         std::chrono::steady_clock::now() +
                             std::chrono::milliseconds(FLimits.PluginHost.StatisticsTimeoutMs),
                         age) &&
           age != TPluginHostCountsAge::Unavailable;
  }
  if (!FFinalized && FStatistics != nullptr) {
    FStatistics(&counts);
    return true;
  }
  if (FHaveLibraryCounts) {
    counts = FLibraryCounts;
  }
  return FHaveLibraryCounts;
}

std::string TLogForwarder::StatisticsLine() const {
  AskLibraryCounts();
  return StatisticsLine(std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(FLimits.PluginHost.StatisticsTimeoutMs));
}

std::string TLogForwarder::StatisticsLine(std::chrono::steady_clock::time_point deadline) const {
  const TLogForwarderCounts counts = Counts();
  std::string line = "FORWARD " + Name + ": " + Count("offered", counts.Offered) + ", " +
                     Count("delivered", counts.Delivered) + ", " +
                     Count("queue full", counts.Overflow) + ", " +
                     Count("lost at stop", counts.Lost);
  if (counts.Skipped > 0) {
    line += ", " + Count("skipped", counts.Skipped);
  }
  TLogProviderStatistics library{};
  TPluginHostCountsAge age{};
  if (LibraryCounts(library, deadline, age)) {
    if (age == TPluginHostCountsAge::Unavailable) {
      line += "; library counts unavailable, its host did not answer";
    } else {
      line += "; " + Count("sent", library.sent) + ", " +
              Count("acknowledged", library.acknowledged) + ", " +
              Count("spooled", library.spooled) + ", " + Count("dropped", library.dropped);
      if (age == TPluginHostCountsAge::LastKnown) {
        line += " (last known, its host did not answer)";
      }
    }
  }
  if (FJournal) {
    line += "; journal: " + Count("recovered", counts.Recovered) + ", " +
            Count("dropped", counts.JournalDropped) + ", " + Count("kept", counts.Kept);
  }
  return line;
}

void TLogForwarder::TakeReport(std::vector<std::string>& lines) {
  if (FHost) {
    FHost->TakeReport(lines);
  }
}

std::chrono::steady_clock::time_point TLogForwarder::StopDeadline() const {
  return std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(FStopDeadline.load(std::memory_order_acquire)));
}

bool TLogForwarder::PastStopDeadline() const {
  return std::chrono::steady_clock::now().time_since_epoch().count() >=
         FStopDeadline.load(std::memory_order_acquire);
}

bool TLogForwarder::NothingQueued() const {
  if (FJournal) {
    return FJournal->WaitingCount() == 0;
  }
  std::lock_guard lock(QueueLock);
  return Queue.empty();
}

void TLogForwarder::TakeRecords(std::vector<TSpoolRecord>& out, std::size_t maxRecords,
                                std::uint32_t waitMs) {
  if (FJournal) {
    FJournal->Take(out, maxRecords, waitMs);
    return;
  }
  std::unique_lock lock(QueueLock);
  FQueued.wait_for(lock, std::chrono::milliseconds(waitMs),
                   [this] { return !Queue.empty() || Terminated() || FWoken; });
  FWoken = false;
  while (!Queue.empty() && out.size() < maxRecords) {
    FQueuedBytes -= RecordBytes(Queue.front().size());
    out.push_back({0, std::move(Queue.front())});
    Queue.pop_front();
  }
}

void TLogForwarder::Execute() {
  if (FHost) {
    ExecuteIsolated();
  } else {
    ExecuteInProcess();
  }
}

void TLogForwarder::ExecuteIsolated() {
  // Killed by the stop, the host is gone for good: nothing is left to deliver to.
  const auto giveUp = [this] { return Terminated() && (PastStopDeadline() || FHost->Killed()); };
  std::vector<TSpoolRecord> batch;
  std::vector<std::uint64_t> delivered;
  std::vector<std::uint64_t> skipped;
  while (!giveUp()) {
    if (!FHost->Usable()) {
      // As in the process: the records wait in the journal for a start with a usable library.
      if (Terminated()) {
        break;
      }
      std::unique_lock lock(QueueLock);
      FQueued.wait_for(lock, std::chrono::milliseconds(DeliveryWaitMs),
                       [this] { return Terminated(); });
      continue;
    }
    if (!FHost->HasHost()) {
      if (Terminated() && FHost->Idle() && NothingQueued()) {
        break;
      }
      FHost->RestartWhenDue();
      continue;
    }
    if (FHost->Idle()) {
      batch.clear();
      TakeRecords(batch, BatchRecords, DeliveryWaitMs);
      PushToHost(batch);
    }
    if (FHost->Idle()) {
      FHost->Poll();
      if (FHost->HasHost() && Terminated() && NothingQueued()) {
        break;
      }
      continue;
    }
    delivered.clear();
    skipped.clear();
    FHost->DeliverBatch(delivered, skipped, giveUp);
    FDelivered.fetch_add(delivered.size(), std::memory_order_relaxed);
    FSkipped.fetch_add(skipped.size(), std::memory_order_relaxed);
    if (FJournal) {
      // Only now do they leave the journal: a host that crashed gets them again.
      FJournal->Acknowledge(delivered);
      FJournal->Acknowledge(skipped);
    }
  }
  FHost->End(StopDeadline());
}

void TLogForwarder::PushToHost(std::vector<TSpoolRecord>& batch) {
  std::string item;
  for (TSpoolRecord& record : batch) {
    TForwardJournalRecord fields;
    if (!ParseForwardJournalRecord(record.Payload, fields)) {
      // Cannot happen for what Offer encoded; taken as the in-process delivery takes it.
      if (FJournal) {
        FJournal->Acknowledge(record.Sequence);
      }
      FDelivered.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    item.clear();
    AppendPluginHostRecordItem(item, fields.ClientTime, fields.ServerTime, fields.PeerAddress,
                               std::to_string(fields.PeerPort), fields.Application, fields.Module,
                               fields.Prefix, fields.Text);
    FHost->Push(record.Sequence, std::move(item));
  }
}

void TLogForwarder::ExecuteInProcess() {
  std::vector<TSpoolRecord> batch;
  std::vector<std::uint64_t> delivered;
  while (true) {
    if (Terminated() && (FAddRecord == nullptr || PastStopDeadline() || NothingQueued())) {
      break;
    }
    if (FAddRecord == nullptr) {
      // Nothing can deliver: the records wait in the journal for a start with a usable library
      // (in memory, they are counted as lost at the stop).
      std::unique_lock lock(QueueLock);
      FQueued.wait_for(lock, std::chrono::milliseconds(DeliveryWaitMs),
                       [this] { return Terminated(); });
      continue;
    }
    batch.clear();
    delivered.clear();
    TakeRecords(batch, BatchRecords, DeliveryWaitMs);
    for (const TSpoolRecord& record : batch) {
      if (Terminated() && PastStopDeadline()) {
        break;
      }
      Deliver(record.Payload);
      delivered.push_back(record.Sequence);
      FDelivered.fetch_add(1, std::memory_order_relaxed);
    }
    if (FJournal) {
      // Records of the batch not delivered by the stop deadline stay in the journal.
      FJournal->Acknowledge(delivered);
    } else if (delivered.size() < batch.size()) {
      std::lock_guard lock(QueueLock);
      for (std::size_t i = batch.size(); i > delivered.size(); --i) {
        FQueuedBytes += RecordBytes(batch[i - 1].Payload.size());
        Queue.push_front(std::move(batch[i - 1].Payload));
      }
    }
  }
}

void TLogForwarder::Deliver(std::string_view payload) noexcept {
  // An exception thrown by the library loses this record only.
  try {
    TForwardJournalRecord record;
    if (!ParseForwardJournalRecord(payload, record)) {
      return;
    }
    FAddRecord(record.ClientTime, record.ServerTime, record.PeerAddress.c_str(), record.PeerPort,
               record.Application.c_str(), record.Module.c_str(), record.Prefix.c_str(),
               record.Text.c_str());
  } catch (...) {
  }
}

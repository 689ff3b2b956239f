#include "logging/TLogForwarder.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace {

constexpr std::uint32_t DeliveryWaitMs = 100;

// The bytes a queued record holds, for the queue's bound.
std::size_t RecordBytes(std::size_t texts) {
  return texts + 64;
}

}  // namespace

TLogForwarder::TLogForwarder(std::string name, std::string libraryPath, TLogForwarderLimits limits)
    : Name(std::move(name)), LibraryPath(std::move(libraryPath)), FLimits(limits) {
  if (LibraryHandle.Load(LibraryPath)) {
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
  const std::size_t size =
      peerAddress.size() + application.size() + module.size() + prefix.size() + text.size() + 5;
  std::lock_guard lock(QueueLock);
  ++FCounts.Offered;
  if (Queue.size() >= FLimits.MaxRecords || FQueuedBytes + RecordBytes(size) > FLimits.MaxBytes) {
    ++FCounts.Overflow;
    ++FOverflowUnreported;
    return;
  }
  TQueuedRecord record{clientTime, serverTime, peerPort, 0, 0, 0, 0, std::string()};
  record.Texts.reserve(size);
  const auto append = [&record](std::string_view part) {
    const auto at = static_cast<std::uint32_t>(record.Texts.size());
    record.Texts.append(part);
    record.Texts.push_back('\0');
    return at;
  };
  append(peerAddress);
  record.Application = append(application);
  record.Module = append(module);
  record.Prefix = append(prefix);
  record.Text = append(text);
  FQueuedBytes += RecordBytes(size);
  Queue.push_back(std::move(record));
  FQueued.notify_one();
}

void TLogForwarder::StopDelivery(std::chrono::steady_clock::time_point deadline) {
  FStopDeadline.store(deadline.time_since_epoch().count(), std::memory_order_release);
  std::lock_guard lock(QueueLock);
  Terminate();
  FQueued.notify_one();
}

bool TLogForwarder::FinishDelivery(std::chrono::steady_clock::time_point deadline,
                                   std::size_t& lost) {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  const auto left = deadline > now ? duration_cast<milliseconds>(deadline - now) : milliseconds(0);
  const auto limit = std::min<milliseconds::rep>(left.count() + 2 * DeliveryWaitMs, UINT32_MAX);
  const bool ended = WaitFor(static_cast<std::uint32_t>(limit));
  std::lock_guard lock(QueueLock);
  std::size_t leftBehind = Queue.size() + (ended ? 0 : 1);
  Queue.clear();
  FQueuedBytes = 0;
  FCounts.Lost += leftBehind;
  lost += leftBehind;
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

std::uint64_t TLogForwarder::TakeOverflow() {
  std::lock_guard lock(QueueLock);
  return std::exchange(FOverflowUnreported, 0);
}

TLogForwarderCounts TLogForwarder::Counts() const {
  std::lock_guard lock(QueueLock);
  TLogForwarderCounts counts = FCounts;
  counts.Delivered = FDelivered.load(std::memory_order_relaxed);
  return counts;
}

bool TLogForwarder::LibraryCounts(TLogProviderStatistics& counts) const {
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
  const TLogForwarderCounts counts = Counts();
  std::string line = "FORWARD " + Name + ": offered " + std::to_string(counts.Offered) +
                     ", delivered " + std::to_string(counts.Delivered) + ", queue full " +
                     std::to_string(counts.Overflow) + ", lost at stop " +
                     std::to_string(counts.Lost);
  TLogProviderStatistics library{};
  if (LibraryCounts(library)) {
    line += "; sent " + std::to_string(library.sent) + ", acknowledged " +
            std::to_string(library.acknowledged) + ", spooled " + std::to_string(library.spooled) +
            ", dropped " + std::to_string(library.dropped);
  }
  return line;
}

bool TLogForwarder::PastStopDeadline() const {
  return std::chrono::steady_clock::now().time_since_epoch().count() >=
         FStopDeadline.load(std::memory_order_acquire);
}

void TLogForwarder::Execute() {
  while (true) {
    std::optional<TQueuedRecord> record;
    {
      std::unique_lock lock(QueueLock);
      if (Queue.empty() && !Terminated()) {
        FQueued.wait_for(lock, std::chrono::milliseconds(DeliveryWaitMs));
      }
      if (Terminated() && (Queue.empty() || PastStopDeadline())) {
        break;
      }
      if (!Queue.empty()) {
        record.emplace(std::move(Queue.front()));
        Queue.pop_front();
        FQueuedBytes -= RecordBytes(record->Texts.size());
      }
    }
    if (record && FAddRecord != nullptr) {
      Deliver(*record);
      FDelivered.fetch_add(1, std::memory_order_relaxed);
    }
  }
}

void TLogForwarder::Deliver(const TQueuedRecord& record) const noexcept {
  // An exception thrown by the library loses this record only.
  try {
    const char* texts = record.Texts.c_str();
    FAddRecord(record.ClientTime, record.ServerTime, texts, record.PeerPort,
               texts + record.Application, texts + record.Module, texts + record.Prefix,
               texts + record.Text);
  } catch (...) {
  }
}

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/uLogServerInterface.h"
#include "platform/TThread.h"
#include "platform/uDateTime.h"
#include "platform/uDynamicLibrary.h"

// The bounds of one forwarder's queue in the server.
struct TLogForwarderLimits {
  std::size_t MaxRecords = 100'000;
  std::size_t MaxBytes = 64u << 20;
};

// The server's counts of one forwarder.
struct TLogForwarderCounts {
  std::uint64_t Offered = 0;    // records offered by the routing
  std::uint64_t Delivered = 0;  // handed to LogProvider_AddRecord
  std::uint64_t Overflow = 0;   // not queued: the queue was full
  std::uint64_t Lost = 0;       // still queued (or in a call that never returned) at the stop
};

// Offers every record the server receives to one forwarder library of the "Forward" section (see
// uLogServerInterface.h), in addition to the normal routing.
//
// The constructor loads the library and, when it exports LogProvider_AddRecord, calls its
// LogProvider_Initialize (if any) with six empty texts. Offer only queues a copy; the forwarder's
// own thread hands the queued records to LogProvider_AddRecord one at a time, in order, so a slow
// or stuck library never holds up the routing. The queue is bounded (TLogForwarderLimits): a
// record that does not fit is not queued and is counted (Overflow, TakeOverflow), so the caller
// reports it; nothing is ever dropped without a count. Stopping is as for the plug-in producers:
// StopDelivery, then FinishDelivery, then Finalize (LogProvider_Finalize and then the library's
// LogProvider_Statistics, when it has them).
class TLogForwarder final : public TThread {
 public:
  // Any thread; it becomes the thread of LogProvider_Initialize.
  TLogForwarder(std::string name, std::string libraryPath, TLogForwarderLimits limits = {});
  // The owner's thread, after FinishDelivery returned true (it stops the thread itself
  // otherwise). Calls Finalize when not done yet.
  ~TLogForwarder() override;

  // Queues a copy of the record; never waits for the library. Main loop thread (one caller).
  void Offer(std::string_view peerAddress, std::uint16_t peerPort, std::string_view application,
             std::string_view module, std::string_view prefix, std::string_view text,
             TDateTime clientTime, TDateTime serverTime);

  // The thread ends after delivering what is queued, at deadline at the latest. Owner's thread.
  void StopDelivery(std::chrono::steady_clock::time_point deadline);
  // As TExternalLogProducer::FinishDelivery: waits for the thread, counts what was not delivered
  // in Lost (and adds it to lost); false when the thread is stuck in the library: it is then
  // abandoned, and the forwarder must never be destroyed. Owner's thread.
  bool FinishDelivery(std::chrono::steady_clock::time_point deadline, std::size_t& lost);
  // After FinishDelivery returned true: LogProvider_Finalize, then LogProvider_Statistics, then
  // the library is released. Once; owner's thread.
  void Finalize();

  // Records refused by a full queue since the last call. Owner's thread.
  std::uint64_t TakeOverflow();
  TLogForwarderCounts Counts() const;
  // The library's own counts, when it exports LogProvider_Statistics and Finalize has run.
  bool LibraryCounts(TLogProviderStatistics& counts) const;
  // "Nats: offered 10, delivered 10, queue full 0, lost at stop 0; library: sent 10, ..." Owner's
  // thread.
  std::string StatisticsLine() const;

  const std::string Name;
  const std::string LibraryPath;
  // Empty when the library is in use; otherwise why not. Any thread.
  const std::string& LoadProblem() const { return FLoadProblem; }

 protected:
  void Execute() override;

 private:
  // One record; the texts lie one after another in Texts, each with its terminating zero.
  struct TQueuedRecord {
    TDateTime ClientTime;
    TDateTime ServerTime;
    std::uint16_t PeerPort;
    std::uint32_t Application, Module, Prefix, Text;  // offsets into Texts; the address is at 0
    std::string Texts;
  };

  void Deliver(const TQueuedRecord& record) const noexcept;
  bool PastStopDeadline() const;

  const TLogForwarderLimits FLimits;
  mutable std::mutex QueueLock;  // guards Queue, FQueuedBytes, FOverflowUnreported, FCounts
  std::condition_variable FQueued;
  std::deque<TQueuedRecord> Queue;
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
  bool FFinalized = false;
  bool FHaveLibraryCounts = false;
  TLogProviderStatistics FLibraryCounts{};

  std::atomic<std::chrono::steady_clock::rep> FStopDeadline{
      std::chrono::steady_clock::time_point::max().time_since_epoch().count()};
};

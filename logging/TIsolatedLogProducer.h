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
#include "logging/TPluginProducer.h"

// A plug-in producer whose library runs in a plug-in host process of its own, so that a plug-in
// that crashes, aborts or exits ends that process only.
//
// The constructor starts the host, waits until it has loaded the library and sends it
// LogProvider_Initialize's six texts. AddMessage only queues; the producer's thread sends what is
// queued to the host in batches, in order, and removes a batch when the host acknowledges it, so
// the host calls the exports as the in-process producer does: one thread, one call at a time.
//
// A host that ends is started again as TPluginHostSupervisor says (1 s, 2 s ... 60 s), and the
// messages not acknowledged are sent again; one on which the host has ended twice is skipped,
// counted and reported, so a poisoned record cannot stop its stream.
//
// Asked to stop, the thread delivers what is queued, sends Finalize and waits for the host's end;
// with a stop deadline it kills a host that has not ended by then.
class TIsolatedLogProducer final : public TPluginProducer {
 public:
  TIsolatedLogProducer(std::string baseCatalog, std::string peerAddress, std::string peerPort,
                       std::string applicationName, std::string moduleName, std::string filePrefix,
                       std::string libraryPath, TPluginHostOptions options = {});
  ~TIsolatedLogProducer() override;

  bool IsOpen() const override { return true; }
  // Queues a copy of the message, or drops and counts it when the queue is full. Any thread.
  void AddMessage(std::string_view text, TDateTime clientTime, TDateTime serverTime) override;
  // Asks the thread to end once everything queued is delivered. The owner's thread.
  void Stop() override;

  const std::string& LoadProblem() const override { return FHost.LoadProblem(); }
  void StopDelivery(std::chrono::steady_clock::time_point deadline) override;
  bool FinishDelivery(std::chrono::steady_clock::time_point deadline, std::size_t& lost) override;
  void TakeReport(std::vector<std::string>& lines) override;

  // Counters, any thread.
  std::uint64_t Restarts() const { return FHost.Restarts(); }
  std::uint64_t Skipped() const { return FHost.Skipped(); }
  std::uint64_t Dropped() const { return FDropped.load(); }
  // The host program in use.
  const std::string& HostProgram() const { return FHost.Program(); }

 protected:
  void Execute() override;

 private:
  struct TQueuedMessage {
    TDateTime ClientTime;
    TDateTime ServerTime;
    std::string Text;
  };

  using TClock = std::chrono::steady_clock;

  void TakeBatch();
  bool PastStopDeadline() const;
  bool StopRequested() const { return FStopRequested.load(); }
  TClock::time_point StopDeadline() const;

  const TPluginHostOptions FOptions;

  std::mutex QueueLock;  // guards Queue
  std::condition_variable QueueChanged;
  std::deque<TQueuedMessage> Queue;
  std::atomic<std::uint64_t> FDropped{0};

  // Its delivery calls: the producer's thread only (the constructor before it, the owner after
  // it has ended).
  TPluginHostSupervisor FHost;
  std::vector<std::uint64_t> FDone;  // the tags of the last batch, unused

  std::mutex FReportLock;  // guards FReportedDrops
  std::uint64_t FReportedDrops = 0;

  std::atomic<bool> FStopRequested{false};
  std::atomic<TClock::rep> FStopDeadline{TClock::time_point::max().time_since_epoch().count()};
};

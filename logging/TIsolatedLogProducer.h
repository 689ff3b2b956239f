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

#include "logging/TPluginHostConnection.h"
#include "logging/TPluginProducer.h"
#include "logging/uPluginHostProtocol.h"

struct TPluginHostOptions {
  // The host program; empty: KelvraPluginHost beside the running executable.
  std::string Program;
  // The host of 32-bit DLLs on 64-bit Windows; empty: KelvraPluginHost32 beside the executable.
  std::string Program32;
  // A host that ended is started again after this delay, doubled after each end up to the cap;
  // a host that ran for the cap's time starts the sequence afresh.
  std::uint32_t FirstRestartDelayMs = 1000;
  std::uint32_t MaxRestartDelayMs = 60'000;
  // Messages queued beyond this are dropped, counted and reported: the bound on memory while a
  // host is down or slow.
  std::size_t MaxQueuedMessages = 100'000;
  // One batch holds about this many bytes of text at most (and one message at least).
  std::size_t MaxBatchBytes = 64 * 1024;
  // How long the host may take to load the library.
  std::uint32_t LoadTimeoutMs = 10'000;
};

// The host program for a library: the 32-bit host (needs32 set) when this process is 64-bit
// Windows (processMachine PortableExecutableAmd64) and the library a 32-bit DLL by its header,
// otherwise the host of the process's own kind. Default names are found in directory.
std::string PluginHostProgram(const TPluginHostOptions& options, const std::string& libraryPath,
                              std::uint16_t processMachine, const std::string& directory,
                              bool& needs32);

// A plug-in producer whose library runs in a plug-in host process of its own, so that a plug-in
// that crashes, aborts or exits ends that process only.
//
// The constructor starts the host, waits until it has loaded the library and sends it
// LogProvider_Initialize's six texts. AddMessage only queues; the producer's thread sends what is
// queued to the host in batches, in order, and removes a batch when the host acknowledges it, so
// the host calls the exports as the in-process producer does: one thread, one call at a time.
//
// A host that ends is noticed at once (the pipe closes, or the process is seen gone while idle):
// one report line with the library and the exit code or signal, then the host is started again
// after a delay of 1 s, 2 s, 4 s ... up to 60 s, Initialize is sent again, and the messages not
// acknowledged are sent again (so a message may reach the plug-in twice). The messages of a batch
// the host ended on are sent one by one; one on which the host has ended twice is skipped,
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

  const std::string& LoadProblem() const override { return FLoadProblem; }
  void StopDelivery(std::chrono::steady_clock::time_point deadline) override;
  bool FinishDelivery(std::chrono::steady_clock::time_point deadline, std::size_t& lost) override;
  void TakeReport(std::vector<std::string>& lines) override;

  // Counters, any thread.
  std::uint64_t Restarts() const { return FRestarts.load(); }
  std::uint64_t Skipped() const { return FSkipped.load(); }
  std::uint64_t Dropped() const { return FDropped.load(); }
  // The host program in use.
  const std::string& HostProgram() const { return FProgram; }

 protected:
  void Execute() override;

 private:
  struct TQueuedMessage {
    TDateTime ClientTime;
    TDateTime ServerTime;
    std::string Text;
    unsigned Crashes = 0;  // host ends while this message was in the batch sent
  };

  using TClock = std::chrono::steady_clock;

  // Starts a host and initializes it; the reason in problem when it cannot be used.
  std::unique_ptr<TPluginHostConnection> StartHost(std::string& problem);
  void TakeBatch();
  void DeliverBatch();
  void HostEnded(std::size_t outstanding);
  void EndHost();
  void SetHost(std::unique_ptr<TPluginHostConnection> host);
  void Report(std::string line);
  bool PastStopDeadline() const;
  bool StopRequested() const { return FStopRequested.load(); }
  TClock::time_point StopDeadline() const;

  const TPluginHostOptions FOptions;
  std::string FProgram;
  std::string FLoadProblem;

  std::mutex QueueLock;  // guards Queue
  std::condition_variable QueueChanged;
  std::deque<TQueuedMessage> Queue;
  std::atomic<std::uint64_t> FDropped{0};

  // The producer's thread only (the constructor before it, the owner after it has ended).
  std::deque<TQueuedMessage> FInFlight;  // taken from Queue, not yet acknowledged
  std::size_t FSingleSteps = 0;          // of FInFlight, to be sent one per batch
  std::uint32_t FRestartDelayMs = 0;
  TClock::time_point FHostStarted;
  TClock::time_point FRestartAt;
  TPluginHostFrameWriter FWriter;
  bool FUsable = false;

  std::mutex FHostLock;  // guards the FHost pointer (killed from the owner's thread)
  std::unique_ptr<TPluginHostConnection> FHost;

  std::mutex FReportLock;  // guards FReport and FReportedDrops
  std::vector<std::string> FReport;
  std::uint64_t FReportedDrops = 0;

  std::atomic<bool> FStopRequested{false};
  std::atomic<std::uint64_t> FRestarts{0};
  std::atomic<std::uint64_t> FSkipped{0};
  std::atomic<TClock::rep> FStopDeadline{TClock::time_point::max().time_since_epoch().count()};
};

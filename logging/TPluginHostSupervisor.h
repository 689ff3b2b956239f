#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/TPluginHostConnection.h"
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
  // One batch holds about this many bytes of items at most (and one item at least).
  std::size_t MaxBatchBytes = 64 * 1024;
  // How long the host may take to load the library.
  std::uint32_t LoadTimeoutMs = 10'000;
  // How long a statistics request waits for a forwarder's host to answer; then the last counts
  // known are shown, so a host that is down or stuck never holds up the server's main loop.
  std::uint32_t StatisticsTimeoutMs = 1000;
};

// The host program for a library: the 32-bit host (needs32 set) when this process is 64-bit
// Windows (processMachine PortableExecutableAmd64) and the library a 32-bit DLL by its header,
// otherwise the host of the process's own kind. Default names are found in directory.
std::string PluginHostProgram(const TPluginHostOptions& options, const std::string& libraryPath,
                              std::uint16_t processMachine, const std::string& directory,
                              bool& needs32);

// How fresh the library's counts are that a host gave.
enum class TPluginHostCountsAge {
  Fresh,        // the answer to the last question
  LastKnown,    // the host did not answer in time (down, restarting or stuck): older counts
  Unavailable,  // no counts were ever given
};

// Keeps one library running in a plug-in host process (KelvraPluginHost) and hands it items in
// batches: the part that the isolated plug-in producers and the isolated forwarders share.
//
// The constructor starts the host, waits until it has loaded the library and sends it
// LogProvider_Initialize's six texts. The owner's delivery thread then pushes encoded items
// (uPluginHostProtocol.h) with a tag of its own, and DeliverBatch sends them in batches, in order,
// and gives back the tags of the items the host acknowledged (their call returned).
//
// A host that ends is noticed at once (the pipe closes, or the process is seen gone): one report
// line with the library and the exit code or signal; then RestartWhenDue starts it again after
// 1 s, 2 s, 4 s ... up to 60 s, Initialize is sent again, and the items not acknowledged are sent
// again (so an item may reach the library twice). The items of a batch the host ended on are sent
// one by one; one on which the host has ended twice is skipped: its tag is given back as skipped,
// counted and reported, so a poisoned record cannot stop its stream.
//
// End sends Finalize and waits for the host's end, killing a host that has not ended by the
// deadline.
class TPluginHostSupervisor {
 public:
  using TClock = std::chrono::steady_clock;
  enum class TRole { Plugin, Forwarder };
  struct TSetup {
    TRole Role = TRole::Plugin;
    std::string LibraryPath;
    // How the report lines name the host and the library: "plug-in host for \"lib.so\"" and
    // "plug-in \"lib.so\"".
    std::string HostName;
    std::string LibraryName;
    std::array<std::string, 6> Initialize;
    TPluginHostOptions Options;
  };

  // Finds the host program and starts the first host; LoadProblem says why when it cannot. The
  // owner's thread, before the delivery thread starts.
  explicit TPluginHostSupervisor(TSetup setup);
  ~TPluginHostSupervisor();
  TPluginHostSupervisor(const TPluginHostSupervisor&) = delete;
  TPluginHostSupervisor& operator=(const TPluginHostSupervisor&) = delete;

  // The library is in use (its host found and the library loaded by the first host).
  bool Usable() const { return FUsable; }
  const std::string& LoadProblem() const { return FLoadProblem; }
  const std::string& Program() const { return FProgram; }
  // The library exports LogProvider_Statistics (a forwarder's host says so).
  bool HasStatistics() const { return FHasStatistics.load(); }

  // The delivery thread only, from here to End.
  bool HasHost() const { return FHost != nullptr; }
  void Push(std::uint64_t tag, std::string item) {
    FInFlightBytes += item.size();
    FInFlight.push_back({tag, std::move(item), 0});
  }
  bool Idle() const { return FInFlight.empty(); }
  std::size_t InFlightCount() const { return FInFlight.size(); }
  std::size_t InFlightBytes() const { return FInFlightBytes; }
  // Forgets the items not acknowledged; returns how many.
  std::size_t DropInFlight();
  // Without a host: starts one once the restart delay has passed, otherwise waits a little.
  void RestartWhenDue();
  // With a host and items: sends the next batch and waits for its acknowledgement, appending
  // the tags acknowledged to delivered and that of an item skipped to skipped. Returns early,
  // the batch still in flight, when giveUp() says so (checked every 100 ms).
  void DeliverBatch(std::vector<std::uint64_t>& delivered, std::vector<std::uint64_t>& skipped,
                    const std::function<bool()>& giveUp);
  // With a host and nothing in flight: passes a statistics request on and notices a host that
  // ended.
  void Poll();
  // Sends Finalize (unless the deadline has passed) and waits for the host's end until deadline,
  // 5 s at most; then kills it.
  void End(TClock::time_point deadline);

  // Any thread.
  // Ends the host at once (a delivery thread stuck writing to it is freed) and for good: it
  // is not started again.
  void Kill();
  bool Killed() const { return FKilled.load(); }
  // Appends the report lines gathered since the last call.
  void TakeReport(std::vector<std::string>& lines);
  std::uint64_t Restarts() const { return FRestarts.load(); }
  std::uint64_t Skipped() const { return FSkipped.load(); }
  // Asks for the library's counts; the delivery thread passes the question on to the host.
  void AskStatistics();
  // Waits until deadline for the answer to the questions asked so far; counts are those of the
  // answer, or the last known.
  TPluginHostCountsAge WaitStatistics(TClock::time_point deadline, TPluginHostCounts& counts);
  // After End: the counts the host gave after LogProvider_Finalize (Fresh), or the last known.
  TPluginHostCountsAge FinalStatistics(TPluginHostCounts& counts) const;

 private:
  struct TInFlight {
    std::uint64_t Tag = 0;
    std::string Item;
    unsigned Crashes = 0;  // host ends while this item was in the batch sent
  };

  std::unique_ptr<TPluginHostConnection> StartHost(std::string& problem);
  void SetHost(std::unique_ptr<TPluginHostConnection> host);
  void HostEnded(std::size_t outstanding, std::vector<std::uint64_t>* skipped);
  // Handles a frame that is not the one waited for (the answer to a statistics question).
  void OtherFrame(TPluginHostFrameKind kind, std::string_view body);
  void PassStatisticsOn();
  // The questions the host cannot answer now get the last known counts.
  void AnswerStale();
  void Report(std::string line);

  const TSetup FSetup;
  std::string FProgram;
  std::string FLoadProblem;
  bool FUsable = false;
  std::atomic<bool> FHasStatistics{false};  // set again by each host started

  // The delivery thread only (the constructor before it).
  std::deque<TInFlight> FInFlight;
  std::size_t FInFlightBytes = 0;
  std::size_t FSingleSteps = 0;  // of FInFlight, to be sent one per batch
  std::uint32_t FRestartDelayMs = 0;
  TClock::time_point FHostStarted;
  TClock::time_point FRestartAt;
  TPluginHostFrameWriter FWriter;

  std::mutex FHostLock;  // guards the FHost pointer (killed from the owner's thread)
  std::unique_ptr<TPluginHostConnection> FHost;

  std::mutex FReportLock;  // guards FReport
  std::vector<std::string> FReport;

  mutable std::mutex FCountsLock;  // guards everything down to FFinal
  std::condition_variable FCountsAnswered;
  std::uint64_t FAsked = 0;     // questions asked
  std::uint64_t FPassedOn = 0;  // of them, sent to the host
  std::uint64_t FAnswered = 0;  // of them, answered
  bool FAnswerFresh = false;    // the last answer came from the host
  bool FHaveCounts = false;
  TPluginHostCounts FCounts;
  bool FFinal = false;  // FCounts are those the host gave after Finalize

  std::atomic<bool> FKilled{false};  // by the owner, at its stop deadline
  std::atomic<std::uint64_t> FRestarts{0};
  std::atomic<std::uint64_t> FSkipped{0};
};

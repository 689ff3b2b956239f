#include "logging/TPluginHostSupervisor.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

#include "logging/uPortableExecutable.h"
#include "platform/uExecutableMachine.h"
#include "platform/uProcess.h"

namespace {

constexpr std::uint32_t WaitSliceMs = 100;
constexpr std::size_t MaxBatchItems = 4096;

}  // namespace

std::string PluginHostProgram(const TPluginHostOptions& options, const std::string& libraryPath,
                              std::uint16_t processMachine, const std::string& directory,
                              bool& needs32) {
  needs32 = processMachine == PortableExecutableAmd64 &&
            PortableExecutableMachineOfFile(libraryPath) == PortableExecutableI386;
  if (needs32) {
    return options.Program32.empty() ? directory + "KelvraPluginHost32" + ExecutableSuffix
                                     : options.Program32;
  }
  return options.Program.empty() ? directory + "KelvraPluginHost" + ExecutableSuffix
                                 : options.Program;
}

TPluginHostSupervisor::TPluginHostSupervisor(TSetup setup)
    : FSetup(std::move(setup)), FRestartDelayMs(FSetup.Options.FirstRestartDelayMs) {
  bool needs32 = false;
  FProgram =
      PluginHostProgram(FSetup.Options, FSetup.LibraryPath, ProcessPortableExecutableMachine(),
                        ExtractFileDir(ExecutablePath()), needs32);
  std::error_code error;
  if (!std::filesystem::is_regular_file(FProgram, error)) {
    // Said plainly: a host that is not installed is a setup fault, not a plug-in's.
    FLoadProblem = "cannot start plug-in host \"" + FProgram + "\": no such file";
    if (needs32) {
      FLoadProblem += " (a 32-bit library needs the 32-bit host)";
    }
  } else if (auto host = StartHost(FLoadProblem)) {
    FUsable = true;
    Report(FSetup.HostName + " started: process " + std::to_string(host->ProcessId()));
    SetHost(std::move(host));
  }
}

TPluginHostSupervisor::~TPluginHostSupervisor() {
  if (FHost) {
    FHost->Kill();
    FHost->WaitForEnd(2000);
  }
}

std::unique_ptr<TPluginHostConnection> TPluginHostSupervisor::StartHost(std::string& problem) {
  std::vector<std::string> arguments;
  if (FSetup.Role == TRole::Forwarder) {
    arguments.emplace_back("--forwarder");
  }
  arguments.push_back(FSetup.LibraryPath);
  std::string error;
  auto host = TPluginHostConnection::Start(FProgram, std::move(arguments), error);
  if (!host) {
    problem = "cannot start plug-in host \"" + FProgram + "\": " + error;
    return nullptr;
  }
  TPluginHostFrameKind kind{};
  std::string_view body;
  const auto wait = host->Receive(kind, body, FSetup.Options.LoadTimeoutMs);
  if (wait != TPluginHostConnection::TWait::Frame || kind != TPluginHostFrameKind::Loaded) {
    if (wait == TPluginHostConnection::TWait::Timeout) {
      host->Kill();
      host->WaitForEnd(1000);
      problem = "plug-in host did not load the library in time";
    } else {
      host->WaitForEnd(1000);
      problem = "plug-in host ended while loading: " + host->EndDescription();
    }
    return nullptr;
  }
  TPluginHostFrameReader reader(body);
  const bool usable = reader.U8() == 1;
  const std::string loadProblem(reader.Text());
  FHasStatistics.store(!reader.AtEnd() && reader.U8() == 1);
  if (!usable) {
    problem = loadProblem.empty() ? "plug-in host cannot use the library" : loadProblem;
    // Its input closes with it and it ends by itself.
    return nullptr;
  }
  FWriter.Begin(TPluginHostFrameKind::Initialize);
  for (const std::string& text : FSetup.Initialize) {
    FWriter.Text(text);
  }
  if (!host->Send(FWriter.Finish())) {
    host->WaitForEnd(1000);
    problem = "plug-in host ended while initializing: " + host->EndDescription();
    return nullptr;
  }
  FHostStarted = TClock::now();
  return host;
}

void TPluginHostSupervisor::SetHost(std::unique_ptr<TPluginHostConnection> host) {
  std::unique_ptr<TPluginHostConnection> old;
  {
    std::lock_guard lock(FHostLock);
    old = std::move(FHost);
    FHost = std::move(host);
  }
}

void TPluginHostSupervisor::Kill() {
  FKilled.store(true);
  std::lock_guard lock(FHostLock);
  if (FHost) {
    FHost->Kill();
  }
}

void TPluginHostSupervisor::Report(std::string line) {
  std::lock_guard lock(FReportLock);
  FReport.push_back(std::move(line));
}

void TPluginHostSupervisor::TakeReport(std::vector<std::string>& lines) {
  std::lock_guard lock(FReportLock);
  for (std::string& line : FReport) {
    lines.push_back(std::move(line));
  }
  FReport.clear();
}

std::size_t TPluginHostSupervisor::DropInFlight() {
  const std::size_t count = FInFlight.size();
  FInFlight.clear();
  FInFlightBytes = 0;
  FSingleSteps = 0;
  return count;
}

void TPluginHostSupervisor::RestartWhenDue() {
  AnswerStale();
  const auto now = TClock::now();
  if (FKilled.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return;
  }
  if (now < FRestartAt) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(FRestartAt - now).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left + 1, 50)));
    return;
  }
  std::string problem;
  if (auto host = StartHost(problem)) {
    FRestarts.fetch_add(1);
    Report(FSetup.HostName + " started again: process " + std::to_string(host->ProcessId()));
    SetHost(std::move(host));
  } else {
    Report(FSetup.HostName + " cannot start again: " + problem);
    FRestartAt = TClock::now() + std::chrono::milliseconds(FRestartDelayMs);
    FRestartDelayMs = std::min(FRestartDelayMs * 2, FSetup.Options.MaxRestartDelayMs);
  }
}

void TPluginHostSupervisor::DeliverBatch(std::vector<std::uint64_t>& delivered,
                                         std::vector<std::uint64_t>& skipped,
                                         const std::function<bool()>& giveUp) {
  std::size_t count = 1;
  if (FSingleSteps == 0) {
    std::size_t bytes = FInFlight.front().Item.size();
    while (count < FInFlight.size() && count < MaxBatchItems &&
           bytes + FInFlight[count].Item.size() <= FSetup.Options.MaxBatchBytes) {
      bytes += FInFlight[count].Item.size();
      ++count;
    }
  }
  PassStatisticsOn();
  FWriter.Begin(TPluginHostFrameKind::Batch);
  FWriter.U32(static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    FWriter.Raw(FInFlight[i].Item);
  }
  if (!FHost->Send(FWriter.Finish())) {
    HostEnded(count, &skipped);
    return;
  }
  for (;;) {
    TPluginHostFrameKind kind{};
    std::string_view body;
    switch (FHost->Receive(kind, body, WaitSliceMs)) {
      case TPluginHostConnection::TWait::Frame:
        if (kind == TPluginHostFrameKind::Acknowledge) {
          for (std::size_t i = 0; i < count; ++i) {
            delivered.push_back(FInFlight.front().Tag);
            FInFlightBytes -= FInFlight.front().Item.size();
            FInFlight.pop_front();
          }
          if (FSingleSteps > 0) {
            --FSingleSteps;
          }
          return;
        }
        OtherFrame(kind, body);
        break;
      case TPluginHostConnection::TWait::Ended:
        HostEnded(count, &skipped);
        return;
      case TPluginHostConnection::TWait::Timeout:
        if (giveUp()) {
          return;
        }
        PassStatisticsOn();
        break;
    }
  }
}

void TPluginHostSupervisor::Poll() {
  bool asked = false;
  {
    std::lock_guard lock(FCountsLock);
    asked = FAsked > FPassedOn || FPassedOn > FAnswered;
  }
  if (!asked) {
    if (!FHost->Running()) {
      HostEnded(0, nullptr);
    }
    return;
  }
  PassStatisticsOn();
  const auto until = TClock::now() + std::chrono::milliseconds(WaitSliceMs);
  for (;;) {
    TPluginHostFrameKind kind{};
    std::string_view body;
    switch (FHost->Receive(kind, body, WaitSliceMs)) {
      case TPluginHostConnection::TWait::Frame:
        OtherFrame(kind, body);
        if (kind == TPluginHostFrameKind::Counts) {
          return;
        }
        break;
      case TPluginHostConnection::TWait::Ended:
        HostEnded(0, nullptr);
        return;
      case TPluginHostConnection::TWait::Timeout:
        break;
    }
    if (TClock::now() >= until) {
      return;
    }
  }
}

void TPluginHostSupervisor::OtherFrame(TPluginHostFrameKind kind, std::string_view body) {
  if (kind != TPluginHostFrameKind::Counts) {
    return;
  }
  TPluginHostFrameReader reader(body);
  const TPluginHostCounts counts = reader.Counts();
  const bool given = !reader.Failed() && counts.Given;
  std::lock_guard lock(FCountsLock);
  if (given) {
    FCounts = counts;
    FHaveCounts = true;
  }
  FAnswered = FPassedOn;
  FAnswerFresh = given;
  FCountsAnswered.notify_all();
}

void TPluginHostSupervisor::PassStatisticsOn() {
  {
    std::lock_guard lock(FCountsLock);
    if (FAsked == FPassedOn) {
      return;
    }
    FPassedOn = FAsked;
  }
  FWriter.Begin(TPluginHostFrameKind::Statistics);
  // A host that takes nothing more shows its end on the next receive.
  FHost->Send(FWriter.Finish());
}

void TPluginHostSupervisor::AnswerStale() {
  std::lock_guard lock(FCountsLock);
  if (FAnswered < FAsked) {
    FPassedOn = FAnswered = FAsked;
    FAnswerFresh = false;
    FCountsAnswered.notify_all();
  }
}

void TPluginHostSupervisor::AskStatistics() {
  std::lock_guard lock(FCountsLock);
  ++FAsked;
}

TPluginHostCountsAge TPluginHostSupervisor::WaitStatistics(TClock::time_point deadline,
                                                           TPluginHostCounts& counts) {
  std::unique_lock lock(FCountsLock);
  const std::uint64_t asked = FAsked;
  const bool answered =
      FCountsAnswered.wait_until(lock, deadline, [&] { return FAnswered >= asked; });
  counts = FCounts;
  if (!FHaveCounts) {
    return TPluginHostCountsAge::Unavailable;
  }
  return answered && FAnswerFresh ? TPluginHostCountsAge::Fresh : TPluginHostCountsAge::LastKnown;
}

TPluginHostCountsAge TPluginHostSupervisor::FinalStatistics(TPluginHostCounts& counts) const {
  std::lock_guard lock(FCountsLock);
  counts = FCounts;
  if (!FHaveCounts) {
    return TPluginHostCountsAge::Unavailable;
  }
  return FFinal ? TPluginHostCountsAge::Fresh : TPluginHostCountsAge::LastKnown;
}

void TPluginHostSupervisor::HostEnded(std::size_t outstanding,
                                      std::vector<std::uint64_t>* skipped) {
  // A host whose output closed but that still runs is of no use either.
  if (!FHost->WaitForEnd(200)) {
    FHost->Kill();
    FHost->WaitForEnd(1000);
  }
  const std::string how = FHost->EndDescription();
  const auto lived = TClock::now() - FHostStarted;
  SetHost(nullptr);
  AnswerStale();
  if (FKilled.load()) {
    // The owner's stop ended it at the deadline: no crash, and nothing starts again.
    Report("FAIL " + FSetup.HostName + " did not end in time: killed");
    return;
  }

  if (lived >= std::chrono::milliseconds(FSetup.Options.MaxRestartDelayMs)) {
    FRestartDelayMs = FSetup.Options.FirstRestartDelayMs;
  }
  Report("FAIL " + FSetup.HostName + " ended: " + how + "; restart in " +
         std::to_string(FRestartDelayMs) + " ms");
  FRestartAt = TClock::now() + std::chrono::milliseconds(FRestartDelayMs);
  FRestartDelayMs = std::min(FRestartDelayMs * 2, FSetup.Options.MaxRestartDelayMs);

  for (std::size_t i = 0; i < outstanding; ++i) {
    ++FInFlight[i].Crashes;
  }
  if (outstanding == 1 && FInFlight.front().Crashes >= 2) {
    if (skipped != nullptr) {
      skipped->push_back(FInFlight.front().Tag);
    }
    FInFlightBytes -= FInFlight.front().Item.size();
    FInFlight.pop_front();
    const std::uint64_t count = FSkipped.fetch_add(1) + 1;
    Report("FAIL " + FSetup.LibraryName + " ended twice on one record: record skipped (" +
           std::to_string(count) + " in all)");
    if (FSingleSteps > 0) {
      --FSingleSteps;
    }
  } else if (outstanding > 0) {
    // Which item of the batch it ended on is not known: they go one at a time now.
    FSingleSteps = std::max(FSingleSteps, outstanding);
  }
}

void TPluginHostSupervisor::End(TClock::time_point deadline) {
  AnswerStale();
  if (!FHost) {
    return;
  }
  using namespace std::chrono;
  const auto past = [deadline] { return TClock::now() >= deadline; };
  if (!past() && FHost->Running()) {
    FWriter.Begin(TPluginHostFrameKind::Finalize);
    if (FHost->Send(FWriter.Finish())) {
      for (;;) {
        TPluginHostFrameKind kind{};
        std::string_view body;
        const auto wait = FHost->Receive(kind, body, WaitSliceMs);
        if (wait == TPluginHostConnection::TWait::Frame &&
            kind == TPluginHostFrameKind::Finalized) {
          TPluginHostFrameReader reader(body);
          const TPluginHostCounts counts = reader.Counts();
          std::lock_guard lock(FCountsLock);
          if (!reader.Failed() && counts.Given) {
            FCounts = counts;
            FHaveCounts = true;
            FFinal = true;
          }
          break;
        }
        if (wait == TPluginHostConnection::TWait::Ended || past()) {
          break;
        }
        if (wait == TPluginHostConnection::TWait::Frame) {
          OtherFrame(kind, body);
        }
      }
    }
  }
  const auto now = TClock::now();
  const auto left = deadline > now ? duration_cast<milliseconds>(deadline - now).count() : 0;
  if (!FHost->WaitForEnd(static_cast<std::uint32_t>(std::min<long long>(left, 5000)))) {
    FHost->Kill();
    FHost->WaitForEnd(2000);
    Report("FAIL " + FSetup.HostName + " did not end in time: killed");
  }
  SetHost(nullptr);
}

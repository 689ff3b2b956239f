#include "logging/TIsolatedLogProducer.h"

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
constexpr std::size_t MaxBatchMessages = 4096;

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

TIsolatedLogProducer::TIsolatedLogProducer(std::string baseCatalog, std::string peerAddress,
                                           std::string peerPort, std::string applicationName,
                                           std::string moduleName, std::string filePrefix,
                                           std::string libraryPath, TPluginHostOptions options)
    : TPluginProducer(std::move(baseCatalog), std::move(peerAddress), std::move(peerPort),
                      std::move(applicationName), std::move(moduleName), std::move(filePrefix),
                      std::move(libraryPath)),
      FOptions(std::move(options)),
      FRestartDelayMs(FOptions.FirstRestartDelayMs) {
  bool needs32 = false;
  FProgram = PluginHostProgram(FOptions, LibraryPath, ProcessPortableExecutableMachine(),
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
    Report("plug-in host for \"" + LibraryPath + "\" started: process " +
           std::to_string(host->ProcessId()));
    SetHost(std::move(host));
  }
  Start();
}

TIsolatedLogProducer::~TIsolatedLogProducer() {
  if (!Finished()) {
    // An owner that did not stop it: no waiting for a plug-in beyond this.
    if (StopDeadline() == TClock::time_point::max()) {
      FStopDeadline.store(TClock::now().time_since_epoch().count());
    }
    Stop();
  }
  WaitFor();
}

std::unique_ptr<TPluginHostConnection> TIsolatedLogProducer::StartHost(std::string& problem) {
  std::string error;
  auto host = TPluginHostConnection::Start(FProgram, LibraryPath, error);
  if (!host) {
    problem = "cannot start plug-in host \"" + FProgram + "\": " + error;
    return nullptr;
  }
  TPluginHostFrameKind kind{};
  std::string_view body;
  const auto wait = host->Receive(kind, body, FOptions.LoadTimeoutMs);
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
  if (!usable) {
    problem = loadProblem.empty() ? "plug-in host cannot use the library" : loadProblem;
    // Its input closes with it and it ends by itself.
    return nullptr;
  }
  FWriter.Begin(TPluginHostFrameKind::Initialize);
  for (const std::string* text :
       {&BaseCatalog, &PeerAddress, &PeerPort, &ApplicationName, &ModuleName, &FilePrefix}) {
    FWriter.Text(*text);
  }
  if (!host->Send(FWriter.Finish())) {
    host->WaitForEnd(1000);
    problem = "plug-in host ended while initializing: " + host->EndDescription();
    return nullptr;
  }
  FHostStarted = TClock::now();
  return host;
}

void TIsolatedLogProducer::SetHost(std::unique_ptr<TPluginHostConnection> host) {
  std::unique_ptr<TPluginHostConnection> old;
  {
    std::lock_guard lock(FHostLock);
    old = std::move(FHost);
    FHost = std::move(host);
  }
}

void TIsolatedLogProducer::AddMessage(std::string_view text, TDateTime clientTime,
                                      TDateTime serverTime) {
  std::lock_guard lock(QueueLock);
  if (Queue.size() >= FOptions.MaxQueuedMessages) {
    FDropped.fetch_add(1);
    return;
  }
  Queue.push_back({clientTime, serverTime, std::string(text), 0});
  if (Queue.size() == 1) {
    QueueChanged.notify_one();
  }
}

// The base's stop flag is not used: a thread asked to stop before its body began would skip
// the body, and with it the delivery of what is queued and the host's Finalize.
void TIsolatedLogProducer::Stop() {
  FStopRequested.store(true);
  std::lock_guard lock(QueueLock);
  QueueChanged.notify_one();
}

void TIsolatedLogProducer::StopDelivery(TClock::time_point deadline) {
  FStopDeadline.store(deadline.time_since_epoch().count());
  Stop();
}

TIsolatedLogProducer::TClock::time_point TIsolatedLogProducer::StopDeadline() const {
  return TClock::time_point(TClock::duration(FStopDeadline.load()));
}

bool TIsolatedLogProducer::PastStopDeadline() const {
  return TClock::now() >= StopDeadline();
}

bool TIsolatedLogProducer::FinishDelivery(TClock::time_point deadline, std::size_t& lost) {
  using namespace std::chrono;
  const auto now = TClock::now();
  const auto left = deadline > now ? duration_cast<milliseconds>(deadline - now) : milliseconds(0);
  const auto limit = std::min<milliseconds::rep>(left.count() + 3 * WaitSliceMs, UINT32_MAX);
  bool ended = WaitFor(static_cast<std::uint32_t>(limit));
  if (!ended) {
    // The thread may be blocked writing to a host that takes nothing: its end unblocks it.
    {
      std::lock_guard lock(FHostLock);
      if (FHost) {
        FHost->Kill();
      }
    }
    ended = WaitFor(2000);
  }
  std::lock_guard lock(QueueLock);
  lost += Queue.size();
  Queue.clear();
  if (!ended) {
    Abandon();
    return false;
  }
  lost += FInFlight.size();
  FInFlight.clear();
  return true;
}

void TIsolatedLogProducer::Report(std::string line) {
  std::lock_guard lock(FReportLock);
  FReport.push_back(std::move(line));
}

void TIsolatedLogProducer::TakeReport(std::vector<std::string>& lines) {
  std::lock_guard lock(FReportLock);
  for (std::string& line : FReport) {
    lines.push_back(std::move(line));
  }
  FReport.clear();
  const std::uint64_t dropped = FDropped.load();
  if (dropped > FReportedDrops) {
    lines.push_back("plug-in \"" + LibraryPath + "\": " + std::to_string(dropped - FReportedDrops) +
                    " records dropped, its queue was full (" + std::to_string(dropped) +
                    " in all)");
    FReportedDrops = dropped;
  }
}

void TIsolatedLogProducer::TakeBatch() {
  std::size_t bytes = 0;
  while (!Queue.empty() && FInFlight.size() < MaxBatchMessages &&
         (FInFlight.empty() || bytes + Queue.front().Text.size() <= FOptions.MaxBatchBytes)) {
    bytes += Queue.front().Text.size();
    FInFlight.push_back(std::move(Queue.front()));
    Queue.pop_front();
  }
}

void TIsolatedLogProducer::Execute() {
  while (true) {
    if (StopRequested() && PastStopDeadline()) {
      break;
    }
    if (!FUsable) {
      // As without isolation: a library that cannot be used gets no call, its records are lost.
      std::unique_lock lock(QueueLock);
      QueueChanged.wait_for(lock, std::chrono::milliseconds(WaitSliceMs));
      Queue.clear();
      if (StopRequested()) {
        break;
      }
      continue;
    }
    if (!FHost) {
      bool nothingLeft = false;
      {
        std::lock_guard lock(QueueLock);
        nothingLeft = Queue.empty() && FInFlight.empty();
      }
      if (StopRequested() && nothingLeft) {
        break;
      }
      const auto now = TClock::now();
      if (now < FRestartAt) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(FRestartAt - now).count();
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left + 1, 50)));
        continue;
      }
      std::string problem;
      if (auto host = StartHost(problem)) {
        FRestarts.fetch_add(1);
        Report("plug-in host for \"" + LibraryPath + "\" started again: process " +
               std::to_string(host->ProcessId()));
        SetHost(std::move(host));
      } else {
        Report("plug-in host for \"" + LibraryPath + "\" cannot start again: " + problem);
        FRestartAt = TClock::now() + std::chrono::milliseconds(FRestartDelayMs);
        FRestartDelayMs = std::min(FRestartDelayMs * 2, FOptions.MaxRestartDelayMs);
      }
      continue;
    }
    if (FInFlight.empty()) {
      std::unique_lock lock(QueueLock);
      if (Queue.empty() && !StopRequested()) {
        QueueChanged.wait_for(lock, std::chrono::milliseconds(WaitSliceMs));
      }
      TakeBatch();
    }
    if (FInFlight.empty()) {
      if (!FHost->Running()) {
        HostEnded(0);
      } else if (StopRequested()) {
        break;
      }
      continue;
    }
    DeliverBatch();
  }
  EndHost();
}

void TIsolatedLogProducer::DeliverBatch() {
  const std::size_t count = FSingleSteps > 0 ? 1 : FInFlight.size();
  FWriter.Begin(TPluginHostFrameKind::Batch);
  FWriter.U32(static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    const TQueuedMessage& message = FInFlight[i];
    FWriter.MessageItem(message.ClientTime, message.ServerTime, message.Text);
  }
  if (!FHost->Send(FWriter.Finish())) {
    HostEnded(count);
    return;
  }
  for (;;) {
    TPluginHostFrameKind kind{};
    std::string_view body;
    switch (FHost->Receive(kind, body, WaitSliceMs)) {
      case TPluginHostConnection::TWait::Frame:
        if (kind == TPluginHostFrameKind::Acknowledge) {
          FInFlight.erase(FInFlight.begin(), FInFlight.begin() + static_cast<long>(count));
          if (FSingleSteps > 0) {
            --FSingleSteps;
          }
          return;
        }
        break;
      case TPluginHostConnection::TWait::Ended:
        HostEnded(count);
        return;
      case TPluginHostConnection::TWait::Timeout:
        if (StopRequested() && PastStopDeadline()) {
          return;
        }
        break;
    }
  }
}

void TIsolatedLogProducer::HostEnded(std::size_t outstanding) {
  // A host whose output closed but that still runs is of no use either.
  if (!FHost->WaitForEnd(200)) {
    FHost->Kill();
    FHost->WaitForEnd(1000);
  }
  const std::string how = FHost->EndDescription();
  const auto lived = TClock::now() - FHostStarted;
  SetHost(nullptr);

  if (lived >= std::chrono::milliseconds(FOptions.MaxRestartDelayMs)) {
    FRestartDelayMs = FOptions.FirstRestartDelayMs;
  }
  Report("FAIL plug-in host for \"" + LibraryPath + "\" ended: " + how + "; restart in " +
         std::to_string(FRestartDelayMs) + " ms");
  FRestartAt = TClock::now() + std::chrono::milliseconds(FRestartDelayMs);
  FRestartDelayMs = std::min(FRestartDelayMs * 2, FOptions.MaxRestartDelayMs);

  for (std::size_t i = 0; i < outstanding; ++i) {
    ++FInFlight[i].Crashes;
  }
  if (outstanding == 1 && FInFlight.front().Crashes >= 2) {
    FInFlight.pop_front();
    const std::uint64_t skipped = FSkipped.fetch_add(1) + 1;
    Report("FAIL plug-in \"" + LibraryPath + "\" ended twice on one record: record skipped (" +
           std::to_string(skipped) + " in all)");
    if (FSingleSteps > 0) {
      --FSingleSteps;
    }
  } else if (outstanding > 0) {
    // Which message of the batch it ended on is not known: they go one at a time now.
    FSingleSteps = std::max(FSingleSteps, outstanding);
  }
}

void TIsolatedLogProducer::EndHost() {
  if (!FHost) {
    return;
  }
  using namespace std::chrono;
  if (!PastStopDeadline() && FHost->Running()) {
    FWriter.Begin(TPluginHostFrameKind::Finalize);
    if (FHost->Send(FWriter.Finish())) {
      for (;;) {
        TPluginHostFrameKind kind{};
        std::string_view body;
        const auto wait = FHost->Receive(kind, body, WaitSliceMs);
        if (wait == TPluginHostConnection::TWait::Ended ||
            (wait == TPluginHostConnection::TWait::Frame &&
             kind == TPluginHostFrameKind::Finalized) ||
            PastStopDeadline()) {
          break;
        }
      }
    }
  }
  const auto now = TClock::now();
  const auto deadline = StopDeadline();
  const auto left = deadline > now ? duration_cast<milliseconds>(deadline - now).count() : 0;
  if (!FHost->WaitForEnd(static_cast<std::uint32_t>(std::min<long long>(left, 5000)))) {
    FHost->Kill();
    FHost->WaitForEnd(2000);
    Report("FAIL plug-in host for \"" + LibraryPath + "\" did not end in time: killed");
  }
  SetHost(nullptr);
}

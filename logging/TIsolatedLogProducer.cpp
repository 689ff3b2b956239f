#include "logging/TIsolatedLogProducer.h"

#include <algorithm>
#include <utility>

#include "logging/uPluginHostProtocol.h"

namespace {

constexpr std::uint32_t WaitSliceMs = 100;
constexpr std::size_t MaxBatchMessages = 4096;

TPluginHostSupervisor::TSetup PluginSetup(const TPluginProducer& producer,
                                          TPluginHostOptions options) {
  TPluginHostSupervisor::TSetup setup;
  setup.Role = TPluginHostSupervisor::TRole::Plugin;
  setup.LibraryPath = producer.LibraryPath;
  setup.HostName = "plug-in host for \"" + producer.LibraryPath + "\"";
  setup.LibraryName = "plug-in \"" + producer.LibraryPath + "\"";
  setup.Initialize = {producer.BaseCatalog,     producer.PeerAddress, producer.PeerPort,
                      producer.ApplicationName, producer.ModuleName,  producer.FilePrefix};
  setup.Options = std::move(options);
  return setup;
}

}  // namespace

TIsolatedLogProducer::TIsolatedLogProducer(std::string baseCatalog, std::string peerAddress,
                                           std::string peerPort, std::string applicationName,
                                           std::string moduleName, std::string filePrefix,
                                           std::string libraryPath, TPluginHostOptions options)
    : TPluginProducer(std::move(baseCatalog), std::move(peerAddress), std::move(peerPort),
                      std::move(applicationName), std::move(moduleName), std::move(filePrefix),
                      std::move(libraryPath)),
      FOptions(options),
      FHost(PluginSetup(*this, std::move(options))) {
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

void TIsolatedLogProducer::AddMessage(std::string_view text, TDateTime clientTime,
                                      TDateTime serverTime) {
  std::lock_guard lock(QueueLock);
  if (Queue.size() >= FOptions.MaxQueuedMessages) {
    FDropped.fetch_add(1);
    return;
  }
  Queue.push_back({clientTime, serverTime, std::string(text)});
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
    FHost.Kill();
    ended = WaitFor(2000);
  }
  std::lock_guard lock(QueueLock);
  lost += Queue.size();
  Queue.clear();
  if (!ended) {
    Abandon();
    return false;
  }
  lost += FHost.DropInFlight();
  return true;
}

void TIsolatedLogProducer::TakeReport(std::vector<std::string>& lines) {
  FHost.TakeReport(lines);
  std::lock_guard lock(FReportLock);
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
  std::size_t taken = 0;
  std::string item;
  while (!Queue.empty() && taken < MaxBatchMessages &&
         (taken == 0 || bytes + Queue.front().Text.size() <= FOptions.MaxBatchBytes)) {
    const TQueuedMessage& message = Queue.front();
    bytes += message.Text.size();
    item.clear();
    AppendPluginHostMessageItem(item, message.ClientTime, message.ServerTime, message.Text);
    FHost.Push(0, std::move(item));
    Queue.pop_front();
    ++taken;
  }
}

void TIsolatedLogProducer::Execute() {
  // Killed by the stop, the host is gone for good: nothing is left to deliver to.
  const auto giveUp = [this] { return StopRequested() && (PastStopDeadline() || FHost.Killed()); };
  while (true) {
    if (giveUp()) {
      break;
    }
    if (!FHost.Usable()) {
      // As without isolation: a library that cannot be used gets no call, its records are lost.
      std::unique_lock lock(QueueLock);
      QueueChanged.wait_for(lock, std::chrono::milliseconds(WaitSliceMs));
      Queue.clear();
      if (StopRequested()) {
        break;
      }
      continue;
    }
    if (!FHost.HasHost()) {
      bool nothingLeft = false;
      {
        std::lock_guard lock(QueueLock);
        nothingLeft = Queue.empty() && FHost.Idle();
      }
      if (StopRequested() && nothingLeft) {
        break;
      }
      FHost.RestartWhenDue();
      continue;
    }
    if (FHost.Idle()) {
      std::unique_lock lock(QueueLock);
      if (Queue.empty() && !StopRequested()) {
        QueueChanged.wait_for(lock, std::chrono::milliseconds(WaitSliceMs));
      }
      TakeBatch();
    }
    if (FHost.Idle()) {
      FHost.Poll();
      if (FHost.HasHost() && StopRequested()) {
        break;
      }
      continue;
    }
    FDone.clear();
    FHost.DeliverBatch(FDone, FDone, giveUp);
  }
  FHost.End(StopDeadline());
}

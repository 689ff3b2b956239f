#include "server/uMainThread.h"

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "logging/TFileLogProducer.h"
#include "logging/tLogProducerHolder.h"
#include "net/uIPServer.h"
#include "platform/uProcess.h"
#include "platform/uStopSignals.h"
#include "server/tControlConnectionsProcess.h"
#include "server/uConfiguration.h"

tMainThread* MainControl = nullptr;

namespace {

constexpr std::uint32_t IdleReleaseIntervalMs = 1000;
// Asked for the syslog socket; the system may grant less.
constexpr int SyslogReceiveBufferSize = 8 * 1024 * 1024;

tMainThreadEnvironment Completed(tMainThreadEnvironment environment) {
  if (!environment.TickCount) {
    environment.TickCount = GetTickCount32;
  }
  if (!environment.Now) {
    environment.Now = LocalNow;
  }
  return environment;
}

bool IsPlatformClock(const std::function<TDateTime()>& clock) {
  const auto* function = clock.target<TDateTime (*)()>();
  return function != nullptr && *function == &LocalNow;
}

}  // namespace

std::size_t OpenLogFileBound(std::size_t descriptorLimit) {
  constexpr std::size_t Reserve = 256;
  constexpr std::size_t Least = 16;
  constexpr std::size_t WithoutLimit = 65536;
  if (descriptorLimit == 0) {
    return WithoutLimit;
  }
  if (descriptorLimit <= Reserve + 2 * Least) {
    return Least;
  }
  return (descriptorLimit - Reserve) / 4 * 3;
}

tMainThread::tMainThread(tMainThreadEnvironment environment,
                         std::unique_ptr<TServiceManager> serviceManager)
    : FEnvironment(Completed(std::move(environment))),
      FConfigurationPath(ConfigurationPath(FEnvironment.ExecutablePath)),
      FUsesLocalClock(IsPlatformClock(FEnvironment.Now)),
      FStampMask("dd.mm.yyyy hh:nn:ss:zzz : "),
      ServiceManager(serviceManager ? std::move(serviceManager) : CreateServiceManager()) {}

tMainThread::~tMainThread() {
  // Only after an error: the normal paths have released everything already.
  ConnectionController.reset();
  TCPComponent.reset();
  UDPComponent.reset();
  DestroyLogQueue();
  ProducerHolder.reset();
  CloseDiagnosticLog();
}

void tMainThread::Run() {
  FStopRequested.store(false, std::memory_order_release);
  ReadConfiguration();
  OpenDiagnosticLog();
  // The diagnostic log is closed on every way out, also when an error leaves Run.
  struct tLogCloser {
    tMainThread& Owner;
    ~tLogCloser() { Owner.CloseDiagnosticLog(); }
  } closer{*this};

  if (!InstallOrRemoveService(FRunMode)) {
    SaveRunMode(FRunMode);
    return;
  }
  WriteLog(false, "Log Server started");
  if (FRunMode == 1) {
    int errorCode = 0;
    if (!RunServiceDispatcher(errorCode)) {
      WriteLog(false, "Abnormally stopped \"StartServiceCtrlDispatcher\" with error code " +
                          std::to_string(errorCode));
    }
  } else {
    // A plain process stops on SIGTERM or SIGINT the way the service stops on its stop control,
    // and writes its statistics on SIGUSR1 as on the service's statistics control.
    TStopSignalWatcher stopSignals([this] { RequestStop(); }, [this] { RequestStatistics(); });
    Serve();
  }
  WriteLog(false, "Log Server stopped");
}

void tMainThread::ReadConfiguration() {
  const TServerSettings settings =
      ::ReadConfiguration(FConfigurationPath, ExtractFileDir(FEnvironment.ExecutablePath));
  FServicePort = settings.ServicePort;
  FSysLogPort = settings.SysLogPort;
  FRunMode = settings.RunMode;
  FLogMode = settings.LogMode;
  FBaseCatalog = settings.BaseCatalog;
  FModuleNameAsFilePrefix = settings.ModuleNameAsFilePrefix;
  FPluginIsolation = settings.PluginIsolation;
  FForwardJournal = settings.ForwardJournal;
  FTimePlacementMask = settings.TimePlacementMask;
}

void tMainThread::SaveRunMode(std::int32_t NewRunMode) {
  ::SaveRunMode(FConfigurationPath, NewRunMode);
}

void tMainThread::OpenDiagnosticLog() {
  const std::string name = ExtractFileName(FEnvironment.ExecutablePath);
  DiagnosticLog =
      std::make_unique<TFileLogProducer>(FBaseCatalog, "0.0.0.0", "0", name, name, "", "");
}

void tMainThread::CloseDiagnosticLog() {
  if (DiagnosticLog) {
    DiagnosticLog->Stop();
    DiagnosticLog->WaitFor();
    DiagnosticLog.reset();
  }
}

void tMainThread::WriteLog(bool Verbose, const std::string& Message) {
  if ((Verbose && FLogMode <= 0) || !DiagnosticLog) {
    return;
  }
  const TDateTime now = FEnvironment.Now();
  std::string line;
  line.reserve(32 + Message.size());
  FStampMask.AppendTo(line, now);
  line += Message;
  DiagnosticLog->AddMessage(line, 0, now);
}

void tMainThread::Serve() {
  TCPComponent = std::make_unique<TTCPServerComponent>();
  UDPComponent = std::make_unique<TUDPServerComponent>();
  ConnectionController = std::make_unique<tControlConnectionsProcess>([this] { WakeMainLoop(); });
  {
    std::lock_guard lock(FQueueLock);
    LogQueue = std::make_unique<tLogQueue>();
  }
  TLogProducerHolderOptions holderOptions;
  holderOptions.Clock = FEnvironment.Now;
  if (FUsesLocalClock) {
    // Read for every record: the local time is converted once per second.
    holderOptions.Clock = [cache = std::make_shared<TLocalTimeCache>()] {
      return CachedLocalNow(*cache);
    };
  }
  holderOptions.Ticks = FEnvironment.TickCount;
  // As many live streams as the descriptors allow keep their files open.
  holderOptions.MaxOpenFiles = OpenLogFileBound(OpenFileLimit());
  holderOptions.Report = [this](const std::string& message) { WriteLog(false, message); };
  holderOptions.PluginIsolation = FPluginIsolation;
  holderOptions.ForwarderLimits.JournalRoot = FForwardJournal;
  ProducerHolder =
      std::make_unique<tLogProducerHolder>(FBaseCatalog, FConfigurationPath, holderOptions);
  if (FRunMode == 1) {
    ReportStatus(ServiceRunning, 0);
  }
  try {
    StartServers();
    MainLoop();
  } catch (...) {
    StopSequence();
    throw;
  }
  WriteLog(false, "Have normal TERM SIGNAL");
  StopSequence();
  if (FRunMode == 1) {
    ReportStatus(ServiceStopped, 0);
  }
}

void tMainThread::StartServers() {
  TCPComponent->SetServerClass(&TTPKTTCPServer::Create);
  TCPComponent->SetOnReceive(
      [this](TIPConnection& Sender, const void* Packet, std::uint32_t PacketSize) {
        OnTCPReceive(Sender, Packet, PacketSize);
      });
  TCPComponent->SetOnConnect([this](TIPConnection& Client) { OnTCPConnect(Client); });
  TCPComponent->SetOnDisconnect([this](TIPConnection& Client) { OnTCPDisconnect(Client); });
  TCPComponent->SetIPAddress("0.0.0.0");
  TCPComponent->SetIPPort(FServicePort);
  TCPComponent->SetActive(true);

  UDPComponent->SetIPAddress("0.0.0.0");
  UDPComponent->SetIPPort(FSysLogPort);
  UDPComponent->SetOnReceive(
      [this](TIPConnection& Sender, const void* Packet, std::uint32_t PacketSize) {
        OnSyslogReceive(Sender, Packet, PacketSize);
      });
  UDPComponent->SetOnReceiveBatchEnd([this](TIPConnection&) { OnSyslogBatchEnd(); });
  // Bursts of datagrams wait in the socket while the main loop catches up.
  UDPComponent->SetReceiveBufferSize(SyslogReceiveBufferSize);
  UDPComponent->SetActive(true);
}

void tMainThread::MainLoop() {
  std::deque<std::unique_ptr<tLogQueueElement>> pass;
  while (!StopRequested()) {
    if (LogQueue->TakeAll(pass)) {
      ProcessPass(pass);
    }
    if (FStatisticsRequested.exchange(false, std::memory_order_acq_rel)) {
      WriteStatistics();
    }
    CheckListener();
    ReleaseIdleProducers();
  }
}

void tMainThread::ProcessPass(std::deque<std::unique_ptr<tLogQueueElement>>& pass) {
  // The lines of one pass are written together, one write call per file; the pass is what was
  // already queued, so no line waits for anything that comes later.
  ProducerHolder->HoldLines();
  std::size_t done = 0;
  try {
    for (; done < pass.size(); ++done) {
      ProcessElement(*pass[done]);
    }
  } catch (...) {
    ProducerHolder->WriteHeld();
    // What the pass did not reach goes back, so the stop sequence still stores it; the element
    // in hand is gone.
    pass.erase(pass.begin(), pass.begin() + static_cast<std::ptrdiff_t>(done + 1));
    LogQueue->Requeue(pass);
    throw;
  }
  ProducerHolder->WriteHeld();
  // The elements go back to the queue, and from there to the next datagrams.
  LogQueue->Recycle(pass);
}

void tMainThread::CheckListener() {
  if (!FListenerCheck.Due(FEnvironment.TickCount())) {
    return;
  }
  // A listener that cannot bind keeps trying by itself and so stays active; its error code
  // tells that no listen point exists.
  if (TCPComponent->GetActive() && TCPComponent->ServerErrorCode() == 0) {
    TCPComponent->ProbeClients();
  } else {
    WriteLog(false, "FAIL while create listen point [code=" +
                        std::to_string(TCPComponent->ServerErrorCode()) + "]");
    TCPComponent->SetActive(true);
  }
  FListenerCheck.Checked(FEnvironment.TickCount());
}

void tMainThread::ReleaseIdleProducers() {
  const std::uint32_t tick = FEnvironment.TickCount();
  if (static_cast<std::uint32_t>(tick - FLastIdleRelease) >= IdleReleaseIntervalMs) {
    FLastIdleRelease = tick;
    ProducerHolder->ReleaseIdle();
    WriteDropReport(false);
  }
}

void tMainThread::WriteDropReport(bool force) {
  std::vector<std::string> lines;
  if (ProducerHolder) {
    ProducerHolder->TakeDropReport(lines, force);
  }
  // The diagnostic log's own losses show once it can be written again.
  if (DiagnosticLog) {
    DiagnosticLog->Files().TakeDropReport(lines, force);
  }
  for (const std::string& line : lines) {
    WriteLog(false, line);
  }
}

void tMainThread::WriteStatistics() {
  std::vector<std::string> lines;
  if (ProducerHolder) {
    ProducerHolder->ForwarderStatistics(lines);
  }
  WriteLog(false, "STATISTICS ON REQUEST: " + std::to_string(lines.size()) + " FORWARDERS");
  for (const std::string& line : lines) {
    WriteLog(false, line);
  }
}

void tMainThread::StopAndLog(const char* what, const std::function<void()>& stop) {
  WriteLog(false, std::string("STOPPING ") + what + "...");
  stop();
  WriteLog(false, std::string("STOPPED ") + what + "...OK");
}

void tMainThread::StopSequence() {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(FEnvironment.StopTimeoutMs);
  // Network threads waiting for room in the queue must not hold up their servers' stop.
  {
    std::lock_guard lock(FQueueLock);
    if (LogQueue) {
      LogQueue->ReleaseWaiters();
    }
  }
  ReportStopProgress();
  StopAndLog("CONECTION CONTROLLER", [this] { ConnectionController.reset(); });
  ReportStopProgress();
  StopAndLog("NET TPKT SERVER", [this] { TCPComponent.reset(); });
  ReportStopProgress();
  StopAndLog("NET SYSLOG SERVER", [this] {
    UDPComponent.reset();
    // What a handler's error left gathered still goes to the log.
    OnSyslogBatchEnd();
  });
  ReportStopProgress();
  // Nothing can arrive any more: what was received is stored before the queue goes.
  StopAndLog("LOG QUEUE", [this, deadline] {
    DrainLogQueue(deadline);
    DestroyLogQueue();
  });
  ReportStopProgress();
  StopAndLog("LOG PRODUCER", [this, deadline] { StopProducers(deadline); });
}

void tMainThread::DrainLogQueue(std::chrono::steady_clock::time_point deadline) {
  if (!LogQueue || !ProducerHolder) {
    return;
  }
  constexpr auto ReportInterval = std::chrono::seconds(1);
  auto nextReport = std::chrono::steady_clock::now() + ReportInterval;
  std::unique_ptr<tLogQueueElement> element;
  try {
    while (LogQueue->TryPop(element)) {
      ProcessElement(*element);
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        break;
      }
      if (now >= nextReport) {
        nextReport = now + ReportInterval;
        ReportStopProgress();
      }
    }
  } catch (...) {
    // The element in hand is gone; the rest is counted below. The stop goes on.
  }
  std::size_t lost = 0;
  while (LogQueue->TryPop(element)) {
    lost += element->Kind == lkTcpData || element->Kind == lkSyslogData ? 1 : 0;
  }
  if (lost > 0) {
    WriteLog(false, "STOP TIME-OUT: " + std::to_string(lost) + " RECEIVED RECORDS LOST");
  }
}

void tMainThread::StopProducers(std::chrono::steady_clock::time_point deadline) {
  if (!ProducerHolder) {
    return;
  }
  const std::size_t lost = ProducerHolder->ReleaseAll(deadline);
  WriteDropReport(true);
  ProducerHolder.reset();
  if (lost > 0) {
    WriteLog(false, "STOP TIME-OUT: " + std::to_string(lost) + " PLUG-IN RECORDS LOST");
  }
}

void tMainThread::ReportStopProgress() {
  if (FRunMode == 1) {
    ReportStatus(ServiceStopPending, 0);
  }
}

void tMainThread::DestroyLogQueue() {
  std::unique_ptr<tLogQueue> queue;
  {
    std::lock_guard lock(FQueueLock);
    queue = std::move(LogQueue);
  }
  // Released outside the lock: RequestStop need not wait for the queued elements to go.
  queue.reset();
}

void tMainThread::WakeMainLoop() {
  // The controller's first tick may in theory come before Serve has created the queue.
  std::lock_guard lock(FQueueLock);
  if (LogQueue) {
    LogQueue->Wake();
  }
}

void tMainThread::RequestStop() {
  FStopRequested.store(true, std::memory_order_release);
  std::lock_guard lock(FQueueLock);
  if (LogQueue) {
    LogQueue->ReleaseWaiters();
    LogQueue->Wake();
  }
}

void tMainThread::RequestStatistics() {
  FStatisticsRequested.store(true, std::memory_order_release);
  std::lock_guard lock(FQueueLock);
  if (LogQueue) {
    LogQueue->Wake();
  }
}

void tMainThread::ProcessElement(const tLogQueueElement& element) {
  DispatchLogElement(element, tLogDispatchSettings{FLogMode, FModuleNameAsFilePrefix},
                     FEventTarget);
}

void tMainThread::OnTCPReceive(TIPConnection& Sender, const void* Packet,
                               std::uint32_t PacketSize) {
  LogQueue->PushWhenRoom(tLogQueueElement::Make(lkTcpData, Sender.RemoteAddress, Sender.RemotePort,
                                                Packet, PacketSize));
}

void tMainThread::OnTCPConnect(TIPConnection& Client) {
  LogQueue->Push(
      tLogQueueElement::Make(lkConnect, Client.RemoteAddress, Client.RemotePort, nullptr, 0));
}

void tMainThread::OnTCPDisconnect(TIPConnection& Client) {
  LogQueue->Push(
      tLogQueueElement::Make(lkDisconnect, Client.RemoteAddress, Client.RemotePort, nullptr, 0));
}

void tMainThread::OnSyslogReceive(TIPConnection& Sender, const void* Packet,
                                  std::uint32_t PacketSize) {
  std::unique_ptr<tLogQueueElement> element;
  if (FSyslogSpares.empty()) {
    element = std::make_unique<tLogQueueElement>();
  } else {
    element = std::move(FSyslogSpares.back());
    FSyslogSpares.pop_back();
  }
  element->Refill(lkSyslogData, Sender.RemoteAddress, Sender.RemotePort, Packet, PacketSize);
  FSyslogBatch.push_back(std::move(element));
}

void tMainThread::OnSyslogBatchEnd() {
  if (LogQueue) {
    LogQueue->PushAllWhenRoom(FSyslogBatch, FSyslogSpares);
  }
}

void tMainThread::tEventTarget::RouteRecord(std::string_view PeerAddress, std::string_view PeerPort,
                                            std::string_view ApplicationName,
                                            std::string_view ModuleName,
                                            std::string_view FilePrefix, std::string_view Text,
                                            TDateTime ClientTime) {
  FOwner.ProducerHolder->RouteRecord(PeerAddress, PeerPort, ApplicationName, ModuleName, FilePrefix,
                                     Text, ClientTime);
}

void tMainThread::tEventTarget::ReleasePeer(std::string_view PeerAddress,
                                            std::string_view PeerPort) {
  FOwner.ProducerHolder->ReleasePeer(PeerAddress, PeerPort);
}

void tMainThread::tEventTarget::WriteLog(bool Verbose, const std::string& Message) {
  FOwner.WriteLog(Verbose, Message);
}

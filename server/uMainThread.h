#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/uFormatTimeMask.h"
#include "platform/uDateTime.h"
#include "platform/uServiceManager.h"
#include "server/tListenerCheckSchedule.h"
#include "server/uLogDispatch.h"
#include "server/uLogQueue.h"

class TFileLogProducer;
class TIPConnection;
class TTCPServerComponent;
class TUDPServerComponent;
class tControlConnectionsProcess;
class tLogProducerHolder;

// What the main control takes from the process. Tests give their own.
struct tMainThreadEnvironment {
  // The executable's full path: the configuration file lies beside it, and the diagnostic log's
  // directories carry its file name.
  std::string ExecutablePath;
  // The wrapping 32-bit millisecond tick count; GetTickCount32 when empty.
  std::function<std::uint32_t()> TickCount;
  // The local date-time; LocalNow when empty.
  std::function<TDateTime()> Now;
  // How long a stop may take to store what was received before it: the main loop's backlog and
  // the plug-ins' queues. What is left at its end is discarded and counted in the diagnostic log.
  std::uint32_t StopTimeoutMs = DefaultStopTimeoutMs;

  static constexpr std::uint32_t DefaultStopTimeoutMs = 30'000;
};

// The bound on open log files for a process that may hold descriptorLimit descriptors (0: no
// limit): three quarters of what is left after a reserve for the diagnostic log, the journals
// and the libraries; the last quarter stays free for connections (two each on POSIX: the socket
// and its send event; a client that finds none left waits in the backlog). A file closed for want
// of room only costs an open with its next line, a refused connection costs its sender, so the
// files get the larger share, but never all of it.
//   1024 => 576    20000 => 14808    1048576 => 786240    0 => 65536
std::size_t OpenLogFileBound(std::size_t descriptorLimit);

// Service status values reported through ReportStatus.
enum : std::uint32_t {
  ServiceStopped = ServiceStateStopped,
  ServiceStopPending = ServiceStateStopPending,
  ServiceRunning = ServiceStateRunning,
};

// The main control of the server: a plain object, not a thread. Run is the whole life of the
// process: it reads the configuration, opens the diagnostic log and either performs a service
// installation or removal, hands over to the service dispatcher, or serves in process mode. Serve
// creates the servers, the log queue and the producer holder, runs the main loop that turns queued
// network events into log output, and stops everything again in a fixed, logged order.
//
// Threads: Run and Serve run on one thread (the process main thread, or the service thread in
// service mode), which alone uses the settings, the diagnostic log, the components and the holder.
// The network threads only call the four handlers, the connection controller only WakeMainLoop,
// the stop-signal watcher and the service control handler only RequestStop and RequestStatistics.
class tMainThread {
 public:
  // serviceManager: the service manager to install, remove and run the service with; the
  // platform's when null. Tests give a fake.
  explicit tMainThread(tMainThreadEnvironment environment,
                       std::unique_ptr<TServiceManager> serviceManager = nullptr);
  // Releases whatever Serve or Run left behind (after an error), in the stop sequence's order.
  ~tMainThread();
  tMainThread(const tMainThread&) = delete;
  tMainThread& operator=(const tMainThread&) = delete;

  // The life of the process. Errors (such as an unwritable configuration file) propagate to the
  // caller after the diagnostic log has been closed. Process main thread only.
  void Run();

  // Creates and hooks the servers, runs the main loop until a stop is requested, then runs the
  // stop sequence. An error ends the loop, still runs the stop sequence and propagates.
  // The thread that runs Run (process mode) or the service thread.
  void Serve();

  // Reads "Common" from LogServer.conf beside the executable and writes it back. Run's thread.
  void ReadConfiguration();
  // Stores RunMode in the configuration. Run's thread.
  void SaveRunMode(std::int32_t NewRunMode);

  // Opens and closes the diagnostic log under BaseCatalog + "0.0.0.0" + executable name twice.
  // Run's thread.
  void OpenDiagnosticLog();
  void CloseDiagnosticLog();

  // Installs (RunMode 2) or removes (RunMode 3) the service and returns false; may change
  // RunMode. True, with nothing done, for any other RunMode. Run's thread.
  bool InstallOrRemoveService(std::int32_t& RunModeValue);

  // Reports the service state (ServiceRunning, ...) to the service manager; nothing in process
  // mode. Every stop-pending report carries the next check point and a wait hint of the stop
  // time-out plus StopWaitHintMarginMs, so that the service manager waits for the stop.
  // Any thread.
  void ReportStatus(std::uint32_t State, std::uint32_t ExitCode);
  static constexpr std::uint32_t StopWaitHintMarginMs = 5'000;

  // Writes "dd.mm.yyyy hh:nn:ss:zzz : " + Message to the diagnostic log; a Verbose line only
  // when LogMode is 1 or more. Nothing while the log is closed. Run's thread only.
  void WriteLog(bool Verbose, const std::string& Message);

  // At most every 3000 ms of the tick count: probes the TCP clients, or reports a listener that
  // is not active and creates a new one. Main loop thread only.
  void CheckListener();

  // Lets the main loop make one pass; nothing while no log queue exists. Any thread.
  void WakeMainLoop();

  // Ends the main loop: sets StopRequested, frees network threads waiting for room in the log
  // queue and wakes the loop. Any thread; takes only the short lock that keeps the queue alive.
  void RequestStop();
  bool StopRequested() const { return FStopRequested.load(std::memory_order_acquire); }

  // Asks the main loop to write the statistics to the diagnostic log on its next pass (see
  // WriteStatistics). Any thread; takes only the short lock that keeps the queue alive.
  void RequestStatistics();

  // Decodes and dispatches one queued event, then releases it, also when dispatching fails.
  // Main loop thread only.
  void ProcessElement(const tLogQueueElement& element);

  // The network handlers: each copies its event into a queue element and pushes it, waiting
  // first while the queue is above its high-water mark. Network threads only.
  void OnTCPReceive(TIPConnection& Sender, const void* Packet, std::uint32_t PacketSize);
  void OnTCPConnect(TIPConnection& Client);
  void OnTCPDisconnect(TIPConnection& Client);
  // The syslog handlers: each datagram's element is kept until the end of its receive call's
  // batch, whose elements then go into the queue together, in arrival order. The syslog
  // server's thread only.
  void OnSyslogReceive(TIPConnection& Sender, const void* Packet, std::uint32_t PacketSize);
  void OnSyslogBatchEnd();

  // Settings as read by ReadConfiguration. Run's thread.
  std::int32_t RunMode() const { return FRunMode; }
  std::int32_t LogMode() const { return FLogMode; }
  const std::string& BaseCatalog() const { return FBaseCatalog; }
  const std::string& ConfigurationFile() const { return FConfigurationPath; }

  // Stores the handle that ReportStatus reports with. The service entry procedure's thread.
  void SetStatusHandle(TServiceStatusHandle Handle) {
    StatusHandle.store(Handle, std::memory_order_release);
  }

 private:
  // Forwards dispatched events to the holder and the diagnostic log.
  class tEventTarget : public tLogEventTarget {
   public:
    explicit tEventTarget(tMainThread& owner) : FOwner(owner) {}
    void RouteRecord(std::string_view PeerAddress, std::string_view PeerPort,
                     std::string_view ApplicationName, std::string_view ModuleName,
                     std::string_view FilePrefix, std::string_view Text,
                     TDateTime ClientTime) override;
    void ReleasePeer(std::string_view PeerAddress, std::string_view PeerPort) override;
    void WriteLog(bool Verbose, const std::string& Message) override;

   private:
    tMainThread& FOwner;
  };

  // Service mode: runs the service dispatcher, which calls ServiceMain on its own thread; returns
  // when the service has stopped. False with the platform's error code when the dispatcher
  // cannot be started. An error that left Serve on the service thread is raised again here, so
  // that it leaves Run as in process mode. Run's thread.
  bool RunServiceDispatcher(int& ErrorCode);
  // The service entry procedure: registers the control handler, then serves. An error that
  // leaves Serve is kept in ServiceError and the service is reported stopped with exit code 1.
  // The service thread.
  void ServiceMain();

  void StartServers();
  void MainLoop();
  // Processes the elements of one pass in order, their lines held and written at its end.
  void ProcessPass(std::deque<std::unique_ptr<tLogQueueElement>>& pass);
  void ReleaseIdleProducers();
  void WriteDropReport(bool force);
  // "STATISTICS ON REQUEST: 2 FORWARDERS", then one line per forwarder with its counts now
  // (see TLogForwarder::StatisticsLine). Main loop thread only.
  void WriteStatistics();
  void StopSequence();
  void StopAndLog(const char* what, const std::function<void()>& stop);
  // Processes every element still queued, until deadline; then discards the rest and logs how
  // many records were among them. The thread that runs Serve, once the servers have stopped.
  void DrainLogQueue(std::chrono::steady_clock::time_point deadline);
  void StopProducers(std::chrono::steady_clock::time_point deadline);
  void DestroyLogQueue();
  // A stop-pending report in service mode, so the service manager sees the stop progress.
  void ReportStopProgress();

  const tMainThreadEnvironment FEnvironment;
  const std::string FConfigurationPath;
  // The environment gave no clock of its own: the platform's local time is used.
  const bool FUsesLocalClock;
  const TTimeMask FStampMask;  // "dd.mm.yyyy hh:nn:ss:zzz : ", compiled once

  // Settings from "Common".
  std::int32_t FRunMode = 0;
  std::int32_t FLogMode = 1;
  std::uint16_t FServicePort = 0;
  std::uint16_t FSysLogPort = 0;
  std::string FBaseCatalog;
  bool FModuleNameAsFilePrefix = true;
  bool FPluginIsolation = true;
  std::string FForwardJournal;  // the forwarders' journals (ForwardJournal of section Common)
  std::string FTimePlacementMask;

  std::atomic<bool> FStopRequested{false};
  std::atomic<bool> FStatisticsRequested{false};
  tListenerCheckSchedule FListenerCheck;  // holds LastListenCheck
  std::uint32_t FLastIdleRelease = 0;
  tEventTarget FEventTarget{*this};

  std::unique_ptr<TFileLogProducer> DiagnosticLog;
  std::unique_ptr<TTCPServerComponent> TCPComponent;
  std::unique_ptr<TUDPServerComponent> UDPComponent;
  std::unique_ptr<tControlConnectionsProcess> ConnectionController;
  // The network handlers and the controller use the queue without the lock: they run only while
  // it exists. RequestStop may come at any time, so creation, destruction and RequestStop's use
  // hold FQueueLock.
  std::mutex FQueueLock;  // guards the LogQueue pointer (not the queue, which locks itself)
  std::unique_ptr<tLogQueue> LogQueue;
  std::unique_ptr<tLogProducerHolder> ProducerHolder;
  // The datagrams of the syslog server's current receive call. Its thread only, or the stop
  // sequence's once that thread has ended.
  std::vector<std::unique_ptr<tLogQueueElement>> FSyslogBatch;
  // Elements the queue gave back for reuse, filled by the next datagrams. The same thread.
  std::vector<std::unique_ptr<tLogQueueElement>> FSyslogSpares;

  // The service status handle, stored by the service entry procedure (service mode only).
  // Written on the service thread, read by the control handler on the main thread.
  std::atomic<TServiceStatusHandle> StatusHandle{0};
  // The check point of the last stop-pending report; rises with each.
  std::atomic<std::uint32_t> FStopCheckPoint{0};
  const std::unique_ptr<TServiceManager> ServiceManager;
  // The error that left Serve on the service thread; written there before the dispatcher returns
  // and read by Run's thread after it has.
  std::exception_ptr ServiceError;
};

// The one process-wide reference to the main control, set by the program entry before Run. The
// service entry procedure and the service control handler reach the main control through it.
extern tMainThread* MainControl;

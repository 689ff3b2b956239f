#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The platform's service manager: the Service Control Manager on Windows, systemd on Linux.
// Every operation that can fail returns 0 or the platform's error code unchanged (GetLastError,
// errno), since the diagnostic log prints it in decimal.

// Service states a status report carries (the Windows values).
inline constexpr std::uint32_t ServiceStateStopped = 1;
inline constexpr std::uint32_t ServiceStateStopPending = 3;
inline constexpr std::uint32_t ServiceStateRunning = 4;

// Control codes that reach a control handler (the Windows values).
inline constexpr std::uint32_t ServiceControlStop = 1;
inline constexpr std::uint32_t ServiceControlInterrogate = 4;
inline constexpr std::uint32_t ServiceControlShutdown = 5;

// Names the registered control handler for status reports; 0 is none, and reports made with it
// have no effect.
using TServiceStatusHandle = std::uintptr_t;

// The service entry procedure; the dispatcher runs it on a thread of its own. It should not throw.
using TServiceEntry = std::function<void()>;
// Receives each control code; runs on the thread that called RunDispatcher.
using TServiceControlHandler = std::function<void(std::uint32_t control)>;

// What a new service is registered with: its own process, started automatically at boot, under the
// system account.
struct TServiceDefinition {
  std::string Name;
  std::string DisplayName;
  // The executable's full path, unquoted: the implementation quotes it for its own syntax.
  std::string ProgramPath;
  std::string Description;
};

// One connection to the service manager. It holds at most one open service (created or opened);
// the destructor closes whatever is open. The installation side (OpenManager to Close) belongs to
// one thread; the dispatcher side is described per operation.
class TServiceManager {
 public:
  TServiceManager() = default;
  TServiceManager(const TServiceManager&) = delete;
  TServiceManager& operator=(const TServiceManager&) = delete;
  virtual ~TServiceManager() = default;

  // Opens the local machine's service manager with all access.
  virtual int OpenManager() = 0;
  // Registers the service and keeps it open. Needs an open manager.
  virtual int CreateService(const TServiceDefinition& service) = 0;
  // Opens an existing service with all access. Needs an open manager.
  virtual int OpenService(const std::string& name) = 0;
  // Starts the open service without arguments.
  virtual int StartService() = 0;
  // Deletes the open service. A running service is not stopped first.
  virtual int DeleteService() = 0;
  // Closes the open service and the manager; closing what is not open does nothing.
  virtual void Close() = 0;

  // Connects the process to the service manager and runs entry on a new thread; blocks until the
  // entry procedure has returned, handing stop requests to the registered control handler on this
  // thread meanwhile. Fails at once (non-zero) when the service manager did not start the process.
  // Process main thread only.
  virtual int RunDispatcher(const std::string& serviceName, const TServiceEntry& entry) = 0;
  // Registers the service's control handler; returns its status handle, or 0 when that fails.
  // The service's own thread, once, before its first status report.
  virtual TServiceStatusHandle RegisterControlHandler(const std::string& serviceName,
                                                      const TServiceControlHandler& handler) = 0;
  // Reports the service's state (ServiceState...) with the exit code; stop is the only control
  // declared as accepted. While a state is pending, checkPoint rises with each report of progress
  // and waitHintMs says how long the manager should wait for the next one before it takes the
  // service as hung (0, 0: none, as in every other report). On Windows these are the
  // SERVICE_STATUS fields dwCheckPoint and dwWaitHint; systemd gets "EXTEND_TIMEOUT_USEC=" with a
  // stop-pending report whose wait hint is not 0. The result is not examined. Any thread.
  virtual void ReportStatus(TServiceStatusHandle handle, std::uint32_t state,
                            std::uint32_t exitCode, std::uint32_t checkPoint = 0,
                            std::uint32_t waitHintMs = 0) = 0;
};

// The platform's service manager, nothing opened yet. Any thread.
std::unique_ptr<TServiceManager> CreateServiceManager();

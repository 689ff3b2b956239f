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
// A user control (Windows: "sc control Log_Service 128"; systemd: SIGUSR1, "systemctl kill
// -s USR1"): the service writes its statistics to the diagnostic log and goes on.
inline constexpr std::uint32_t ServiceControlStatistics = 128;

// Names the registered control handler for status reports; 0 is none, and reports made with it
// have no effect.
using TServiceStatusHandle = std::uintptr_t;

// The service entry procedure; the dispatcher runs it on a thread of its own. It should not throw.
using TServiceEntry = std::function<void()>;
// Receives each control code; runs on the thread that called RunDispatcher.
using TServiceControlHandler = std::function<void(std::uint32_t control)>;

// What a status report tells of the progress of a state change: a stop that takes long sends stop
// pending reports with a rising check point, each promising the next report within the wait hint.
// The defaults are those of every report the server makes today.
struct TServiceProgress {
  std::uint32_t CheckPoint = 0;
  std::uint32_t WaitHintMs = 5000;
};

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
  // Reports the service's state (ServiceState...) with the exit code and the progress; stop is the
  // only control declared as accepted. The result is not examined. Any thread.
  virtual void ReportStatus(TServiceStatusHandle handle, std::uint32_t state,
                            std::uint32_t exitCode, TServiceProgress progress = {}) = 0;
};

// The platform's service manager, nothing opened yet. Any thread.
std::unique_ptr<TServiceManager> CreateServiceManager();

// Sends a control to the installed service, as an administrator's tool does, and gives the state
// the service reports back: ServiceControlInterrogate asks for the current state,
// ServiceControlStop asks it to stop. For tools and tests; the server never calls it.
// Windows: ControlService (state as reported, e.g. stop pending right after a stop).
// Linux: systemctl is-active (running or stopped) and systemctl stop (stopped once it returns).
// 0 or the platform's error code (1062 when the service does not run, ...). Any thread.
int ControlInstalledService(const std::string& name, std::uint32_t control, std::uint32_t& state);

#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/uServiceManager.h"

// The server's side of the service manager: installing and removing the service "Log_Service",
// and what its control handler does with each control.

inline constexpr char ServiceName[] = "Log_Service";
inline constexpr char ServiceDisplayName[] = "Kelvra Log Service";
inline constexpr char ServiceDescription[] = "Kelvra Logging Server service";

// The RunMode values that request an installation or a removal, and what they lead to.
inline constexpr std::int32_t RunModeProcess = 0;
inline constexpr std::int32_t RunModeService = 1;
inline constexpr std::int32_t RunModeInstall = 2;
inline constexpr std::int32_t RunModeRemove = 3;

// Writes one line to the diagnostic log (WriteLog(false, message) of the main control).
using tServiceLogProc = std::function<void(const std::string& message)>;
// Saves RunMode to the configuration file; may throw when the file cannot be written.
using tSaveRunModeProc = std::function<void(std::int32_t runMode)>;

// Installs the service (runMode 2) or removes it (runMode 3) with manager, logging each failure
// with its platform code and the outcome. A successful installation sets runMode to 1 and saves it
// before the service is started (the started service reads it); a successful removal sets it to 0;
// a failure leaves it unchanged. Returns false after either attempt, true for any other runMode
// (nothing done). Process main thread only.
bool InstallOrRemoveService(std::int32_t& runMode, TServiceManager& manager,
                            const std::string& programPath, const tServiceLogProc& writeLog,
                            const tSaveRunModeProc& saveRunMode);

// What the control handler needs of the main control.
class tServiceControlTarget {
 public:
  virtual ~tServiceControlTarget() = default;
  virtual bool StopRequested() const = 0;
  virtual void RequestStop() = 0;
  virtual void RequestStatistics() = 0;
};

// Reports the service's state (ServiceState...) with exit code 0.
using tReportStatusProc = std::function<void(std::uint32_t state)>;

// The control handler's table: stop and shutdown report stop pending, then request the stop;
// interrogate reports stop pending when there is no main control (null) or its stop was requested,
// running otherwise; the statistics control (128) requests the statistics and reports nothing;
// any other control does nothing. The dispatcher's thread (the process main
// thread).
void HandleServiceControl(std::uint32_t control, tServiceControlTarget* mainControl,
                          const tReportStatusProc& reportStatus);

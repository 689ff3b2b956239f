#include "server/uServiceHost.h"

namespace {

void ReportFailure(const tServiceLogProc& writeLog, const char* call, int code,
                   const char* outcome) {
  writeLog(std::string("Fail \"") + call + "\" with code " + std::to_string(code));
  writeLog(outcome);
}

void InstallService(std::int32_t& runMode, TServiceManager& manager, const std::string& programPath,
                    const tServiceLogProc& writeLog, const tSaveRunModeProc& saveRunMode) {
  const char* const stopped = "Install process stopped";
  if (const int code = manager.OpenManager(); code != 0) {
    ReportFailure(writeLog, "OpenSCManager", code, stopped);
    return;
  }
  const int code = manager.CreateService(
      TServiceDefinition{ServiceName, ServiceDisplayName, programPath, ServiceDescription});
  if (code != 0) {
    ReportFailure(writeLog, "CreateService", code, stopped);
    manager.Close();
    return;
  }
  writeLog("Service successfully installed");
  // Saved before the start: the service process that the manager starts reads RunMode 1.
  runMode = RunModeService;
  saveRunMode(runMode);
  manager.StartService();  // its result is not examined
  manager.Close();
}

void RemoveService(std::int32_t& runMode, TServiceManager& manager,
                   const tServiceLogProc& writeLog) {
  const char* const stopped = "Uninstall process stopped";
  if (const int code = manager.OpenManager(); code != 0) {
    ReportFailure(writeLog, "OpenSCManager", code, stopped);
    return;
  }
  if (const int code = manager.OpenService(ServiceName); code != 0) {
    ReportFailure(writeLog, "OpenService", code, stopped);
  } else if (const int deleteCode = manager.DeleteService(); deleteCode != 0) {
    ReportFailure(writeLog, "DeleteService", deleteCode, stopped);
  } else {
    runMode = RunModeProcess;
    writeLog("Service successfully uninstalled");
  }
  manager.Close();
}

}  // namespace

bool InstallOrRemoveService(std::int32_t& runMode, TServiceManager& manager,
                            const std::string& programPath, const tServiceLogProc& writeLog,
                            const tSaveRunModeProc& saveRunMode) {
  if (runMode == RunModeInstall) {
    InstallService(runMode, manager, programPath, writeLog, saveRunMode);
    return false;
  }
  if (runMode == RunModeRemove) {
    RemoveService(runMode, manager, writeLog);
    return false;
  }
  return true;
}

void HandleServiceControl(std::uint32_t control, tServiceControlTarget* mainControl,
                          const tReportStatusProc& reportStatus) {
  switch (control) {
    case ServiceControlStop:
    case ServiceControlShutdown:
      reportStatus(ServiceStateStopPending);
      if (mainControl != nullptr) {
        mainControl->RequestStop();
      }
      break;
    case ServiceControlInterrogate:
      reportStatus(mainControl == nullptr || mainControl->StopRequested() ? ServiceStateStopPending
                                                                          : ServiceStateRunning);
      break;
    case ServiceControlStatistics:
      if (mainControl != nullptr) {
        mainControl->RequestStatistics();
      }
      break;
    default:
      break;
  }
}

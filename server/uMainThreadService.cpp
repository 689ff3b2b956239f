// The service side of the main control: installation and removal, the service dispatcher and the
// status reports. Process mode needs none of them; the service host fills them in.
#include "server/uMainThread.h"

bool tMainThread::InstallOrRemoveService(std::int32_t& RunModeValue) {
  return RunModeValue != 2 && RunModeValue != 3;
}

bool tMainThread::RunServiceDispatcher(int& ErrorCode) {
  // 1063: the process was not started by the service manager (ERROR_FAILED_SERVICE_CONTROLLER_
  // CONNECT), the only outcome while no service host is built in.
  ErrorCode = 1063;
  return false;
}

void tMainThread::ReportStatus(std::uint32_t State, std::uint32_t ExitCode) {
  static_cast<void>(State);
  static_cast<void>(ExitCode);
}

// The service side of the main control: installation and removal, the service dispatcher, the
// service entry procedure, the control handler and the status reports.
#include <exception>
#include <utility>

#include "server/uMainThread.h"
#include "server/uServiceHost.h"

namespace {

// What the control handler may do to the main control.
class tMainControlTarget final : public tServiceControlTarget {
 public:
  explicit tMainControlTarget(tMainThread& control) : FControl(control) {}
  bool StopRequested() const override { return FControl.StopRequested(); }
  void RequestStop() override { FControl.RequestStop(); }
  void RequestStatistics() override { FControl.RequestStatistics(); }

 private:
  tMainThread& FControl;
};

// The control handler registered for "Log_Service". Like the platform's own handlers it has no
// context: it reaches the main control through MainControl. Without one there is no status handle
// either, so nothing can be reported. The dispatcher's thread (the process main thread).
void ServiceControlHandler(std::uint32_t control) {
  tMainThread* const mainControl = MainControl;
  if (mainControl == nullptr) {
    HandleServiceControl(control, nullptr, [](std::uint32_t) {});
    return;
  }
  tMainControlTarget target(*mainControl);
  HandleServiceControl(control, &target,
                       [mainControl](std::uint32_t state) { mainControl->ReportStatus(state, 0); });
}

}  // namespace

bool tMainThread::InstallOrRemoveService(std::int32_t& RunModeValue) {
  return ::InstallOrRemoveService(
      RunModeValue, *ServiceManager, FEnvironment.ExecutablePath,
      [this](const std::string& message) { WriteLog(false, message); },
      [this](std::int32_t saved) { SaveRunMode(saved); });
}

bool tMainThread::RunServiceDispatcher(int& ErrorCode) {
  ErrorCode = ServiceManager->RunDispatcher(ServiceName, [this] { ServiceMain(); });
  if (ServiceError) {
    std::rethrow_exception(std::exchange(ServiceError, nullptr));
  }
  return ErrorCode == 0;
}

void tMainThread::ServiceMain() {
  // A failed registration gives handle 0, with which the status reports do nothing.
  SetStatusHandle(ServiceManager->RegisterControlHandler(ServiceName, ServiceControlHandler));
  try {
    Serve();
  } catch (...) {
    // Serve has stopped whatever it had started. The error goes on to Run's thread, which raises
    // it again once the dispatcher has returned; the process then ends with exit code 1.
    ServiceError = std::current_exception();
    ReportStatus(ServiceStopped, 1);
  }
}

void tMainThread::ReportStatus(std::uint32_t State, std::uint32_t ExitCode) {
  // StatusHandle is 0 in process mode: nothing is reported.
  TServiceProgress progress;
  if (State == ServiceStopPending) {
    progress.CheckPoint = FStopCheckPoint.fetch_add(1, std::memory_order_relaxed) + 1;
    progress.WaitHintMs = FEnvironment.StopTimeoutMs + StopWaitHintMarginMs;
  }
  ServiceManager->ReportStatus(StatusHandle.load(std::memory_order_acquire), State, ExitCode,
                               progress);
}

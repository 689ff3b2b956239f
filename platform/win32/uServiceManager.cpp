// The service manager on Windows: the Service Control Manager, and the service's description in the
// registry under HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\<name>.
#include <windows.h>

// The interface's operation names are the Windows macros' names too.
#undef CreateService
#undef OpenService
#undef StartService
#undef DeleteService

#include <atomic>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "platform/uServiceManager.h"

namespace {

// The rights asked for: all access on the manager (0xF003F) and on the service (0xF01FF).
constexpr DWORD ManagerAccess = SC_MANAGER_ALL_ACCESS;
constexpr DWORD ServiceAccess = SERVICE_ALL_ACCESS;
static_assert(ManagerAccess == 0xF003F && ServiceAccess == 0xF01FF);

const char* const ServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";

int LastError() {
  return static_cast<int>(GetLastError());
}

// "C:\srv\KelvraLogServer.exe" stays as it is; "C:\Program Files\Kelvra\KelvraLogServer.exe" is
// quoted, so that the manager does not start "C:\Program".
std::string FormatBinaryPath(const std::string& programPath) {
  if (programPath.find(' ') == std::string::npos) {
    return programPath;
  }
  return "\"" + programPath + "\"";
}

// The description is not part of the service's creation: a key that cannot be opened or a value
// that cannot be set leaves the service without one, and nothing is reported.
void WriteDescription(const std::string& serviceName, const std::string& description) {
  HKEY key = nullptr;
  const std::string path = ServicesKey + serviceName;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
    return;
  }
  // REG_SZ with its terminating NUL.
  RegSetValueExA(key, "Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(description.c_str()),
                 static_cast<DWORD>(description.size() + 1));
  RegCloseKey(key);
}

class TScmServiceManager;

// The manager whose dispatcher runs: the service entry procedure and the control handler that the
// Service Control Manager calls take no context, so they find it here. Set by RunDispatcher for
// the time of the dispatcher call; one dispatcher per process.
std::atomic<TScmServiceManager*> ActiveDispatcher{nullptr};

class TScmServiceManager final : public TServiceManager {
 public:
  ~TScmServiceManager() override { Close(); }

  // TServiceManager
  int OpenManager() override;
  int CreateService(const TServiceDefinition& service) override;
  int OpenService(const std::string& name) override;
  int StartService() override;
  int DeleteService() override;
  void Close() override;
  int RunDispatcher(const std::string& serviceName, const TServiceEntry& entry) override;
  TServiceStatusHandle RegisterControlHandler(const std::string& serviceName,
                                              const TServiceControlHandler& handler) override;
  void ReportStatus(TServiceStatusHandle handle, std::uint32_t state, std::uint32_t exitCode,
                    TServiceProgress progress) override;

 private:
  static void WINAPI ServiceMainEntry(DWORD argumentCount, LPSTR* arguments);
  static void WINAPI ControlHandlerEntry(DWORD control);
  void RunEntry();
  void HandleControl(DWORD control);

  // Installation side: the thread that opened the manager only.
  SC_HANDLE FManager = nullptr;
  SC_HANDLE FService = nullptr;

  // Dispatcher side, set by RunDispatcher before the dispatcher starts.
  const TServiceEntry* FEntry = nullptr;
  std::exception_ptr FEscaped;  // written on the service thread before the dispatcher returns
  std::mutex FHandlerLock;      // guards FHandler
  TServiceControlHandler FHandler;
  std::atomic<TServiceStatusHandle> FStatusHandle{0};
  std::atomic<std::uint32_t> FLastState{0};
  std::atomic<bool> FEntryStarted{false};
  HANDLE FEntryDone = nullptr;  // manual-reset, set when the entry procedure has returned
};

int TScmServiceManager::OpenManager() {
  Close();
  FManager = OpenSCManagerA(nullptr, nullptr, ManagerAccess);
  return FManager != nullptr ? 0 : LastError();
}

int TScmServiceManager::CreateService(const TServiceDefinition& service) {
  if (FManager == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  const std::string binaryPath = FormatBinaryPath(service.ProgramPath);
  // No load-order group, tag or dependencies; no account name and no password: LocalSystem.
  const SC_HANDLE created =
      CreateServiceA(FManager, service.Name.c_str(), service.DisplayName.c_str(), ServiceAccess,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                     binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  if (created == nullptr) {
    return LastError();
  }
  if (FService != nullptr) {
    CloseServiceHandle(FService);
  }
  FService = created;
  WriteDescription(service.Name, service.Description);
  return 0;
}

int TScmServiceManager::OpenService(const std::string& name) {
  if (FManager == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  const SC_HANDLE opened = OpenServiceA(FManager, name.c_str(), ServiceAccess);
  if (opened == nullptr) {
    return LastError();
  }
  if (FService != nullptr) {
    CloseServiceHandle(FService);
  }
  FService = opened;
  return 0;
}

int TScmServiceManager::StartService() {
  if (FService == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  return StartServiceA(FService, 0, nullptr) ? 0 : LastError();
}

int TScmServiceManager::DeleteService() {
  if (FService == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  return ::DeleteService(FService) ? 0 : LastError();
}

void TScmServiceManager::Close() {
  if (FService != nullptr) {
    CloseServiceHandle(FService);
    FService = nullptr;
  }
  if (FManager != nullptr) {
    CloseServiceHandle(FManager);
    FManager = nullptr;
  }
}

int TScmServiceManager::RunDispatcher(const std::string& serviceName, const TServiceEntry& entry) {
  TScmServiceManager* expected = nullptr;
  if (!ActiveDispatcher.compare_exchange_strong(expected, this)) {
    return ERROR_SERVICE_ALREADY_RUNNING;  // the process runs a dispatcher already
  }
  FEntry = &entry;
  FEscaped = nullptr;
  FEntryStarted.store(false);
  FEntryDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (FEntryDone == nullptr) {
    ActiveDispatcher.store(nullptr);
    return LastError();
  }
  std::string name = serviceName;
  SERVICE_TABLE_ENTRYA table[] = {{name.data(), &TScmServiceManager::ServiceMainEntry},
                                  {nullptr, nullptr}};
  // Returns once the service has reported stopped; 1063 at once in a process that the Service
  // Control Manager did not start.
  const int error = StartServiceCtrlDispatcherA(table) ? 0 : LastError();
  // The stopped report can come before the entry has returned: wait for it, so that nothing of
  // this object is in use on the service thread once the caller goes on.
  if (FEntryStarted.load()) {
    WaitForSingleObject(FEntryDone, INFINITE);
  }
  CloseHandle(FEntryDone);
  FEntryDone = nullptr;
  ActiveDispatcher.store(nullptr);
  FEntry = nullptr;
  {
    std::lock_guard lock(FHandlerLock);
    FHandler = nullptr;
  }
  if (FEscaped) {
    std::rethrow_exception(std::exchange(FEscaped, nullptr));
  }
  return error;
}

void WINAPI TScmServiceManager::ServiceMainEntry(DWORD /*argumentCount*/, LPSTR* /*arguments*/) {
  if (TScmServiceManager* const manager = ActiveDispatcher.load()) {
    manager->RunEntry();
  }
}

void TScmServiceManager::RunEntry() {
  FEntryStarted.store(true);
  try {
    (*FEntry)();
  } catch (...) {
    FEscaped = std::current_exception();
  }
  // The dispatcher returns only after the stopped report: an entry that ended without one (an
  // error on its way) still lets the process end.
  const TServiceStatusHandle handle = FStatusHandle.load();
  if (handle != 0 && FLastState.load() != ServiceStateStopped) {
    ReportStatus(handle, ServiceStateStopped, FEscaped ? 1 : 0, {});
  }
  SetEvent(FEntryDone);  // the last use of this object on the service thread
}

TServiceStatusHandle TScmServiceManager::RegisterControlHandler(
    const std::string& serviceName, const TServiceControlHandler& handler) {
  {
    std::lock_guard lock(FHandlerLock);
    FHandler = handler;
  }
  const SERVICE_STATUS_HANDLE handle =
      RegisterServiceCtrlHandlerA(serviceName.c_str(), &TScmServiceManager::ControlHandlerEntry);
  const auto result = reinterpret_cast<TServiceStatusHandle>(handle);
  FStatusHandle.store(result);
  return result;
}

void WINAPI TScmServiceManager::ControlHandlerEntry(DWORD control) {
  if (TScmServiceManager* const manager = ActiveDispatcher.load()) {
    manager->HandleControl(control);
  }
}

void TScmServiceManager::HandleControl(DWORD control) {
  TServiceControlHandler handler;
  {
    std::lock_guard lock(FHandlerLock);
    handler = FHandler;
  }
  if (handler) {
    handler(control);
  }
}

void TScmServiceManager::ReportStatus(TServiceStatusHandle handle, std::uint32_t state,
                                      std::uint32_t exitCode, TServiceProgress progress) {
  if (handle == 0) {
    return;
  }
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
  status.dwWin32ExitCode = exitCode;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = progress.CheckPoint;
  status.dwWaitHint = progress.WaitHintMs;
  FLastState.store(state);
  SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &status);
}

}  // namespace

std::unique_ptr<TServiceManager> CreateServiceManager() {
  return std::make_unique<TScmServiceManager>();
}

int ControlInstalledService(const std::string& name, std::uint32_t control, std::uint32_t& state) {
  const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    return LastError();
  }
  int error = 0;
  const SC_HANDLE service = OpenServiceA(manager, name.c_str(),
                                         SERVICE_INTERROGATE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    error = LastError();
  } else {
    SERVICE_STATUS status{};
    if (ControlService(service, control, &status)) {
      state = status.dwCurrentState;
    } else {
      error = LastError();
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return error;
}

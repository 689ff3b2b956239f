// The service manager on Linux: systemd.
//
// The service is the unit file <name>.service in the unit directory (/etc/systemd/system, or
// KELVRA_UNIT_DIR); systemctl (or KELVRA_SYSTEMCTL) is run for daemon-reload, enable, disable and
// start. Status reports go to systemd's notification socket through sd_notify; without libsystemd
// the dispatcher always fails and status reports do nothing.
#include "platform/uServiceManager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef KELVRA_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const char* const SystemdRuntimeDirectory = "/run/systemd/system";
const char* const DefaultUnitDirectory = "/etc/systemd/system";

// The code of a systemctl run that started but reported failure (non-zero exit or a signal).
// Its own message is on standard error.
constexpr int SystemctlFailed = EIO;

// The handle RegisterControlHandler gives out; there is only one service per process.
constexpr TServiceStatusHandle SystemdStatusHandle = 1;

const char* Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

std::string UnitDirectory() {
  const char* redirected = Environment("KELVRA_UNIT_DIR");
  return redirected != nullptr ? redirected : DefaultUnitDirectory;
}

std::string UnitPath(const std::string& serviceName) {
  return UnitDirectory() + "/" + serviceName + ".service";
}

// systemd's specifiers: "100%" => "100%%".
std::string EscapeSpecifiers(const std::string& value) {
  std::string result;
  for (const char c : value) {
    result += c;
    if (c == '%') {
      result += '%';
    }
  }
  return result;
}

// systemd refuses an executable whose name holds quotes, backslashes or control characters.
bool IsUsableExecPath(const std::string& programPath) {
  for (const char c : programPath) {
    const auto code = static_cast<unsigned char>(c);
    if (c == '"' || c == '\'' || c == '\\' || code < 0x20 || code == 0x7F) {
      return false;
    }
  }
  return !programPath.empty();
}

// "/opt/log/KelvraLogServer" stays as it is; "/opt/my logs/KelvraLogServer" is quoted.
std::string FormatExecStart(const std::string& programPath) {
  const std::string escaped = EscapeSpecifiers(programPath);
  if (programPath.find(' ') == std::string::npos) {
    return escaped;
  }
  return "\"" + escaped + "\"";
}

std::string FormatUnit(const TServiceDefinition& service) {
  return "# " + service.DisplayName +
         "\n"
         "[Unit]\n"
         "Description=" +
         EscapeSpecifiers(service.Description) +
         "\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" +
         FormatExecStart(service.ProgramPath) +
         "\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

int WriteWhole(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    done += static_cast<std::size_t>(written);
  }
  return 0;
}

// Creates the file; an existing one fails with EEXIST and is left alone.
int WriteNewFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    return errno;
  }
  int error = WriteWhole(fd, text);
  if (close(fd) != 0 && error == 0) {
    error = errno;
  }
  if (error != 0) {
    unlink(path.c_str());
  }
  return error;
}

// Runs systemctl with the arguments, without a shell, and waits for it. 0, the errno of a
// command that could not be started, or SystemctlFailed.
int RunSystemctl(const std::vector<std::string>& arguments) {
  const char* redirected = Environment("KELVRA_SYSTEMCTL");
  const std::string command = redirected != nullptr ? redirected : "systemctl";
  std::vector<std::string> words{command};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  // The server blocks its stop signals; systemctl gets them back.
  posix_spawnattr_t attributes;
  if (const int error = posix_spawnattr_init(&attributes); error != 0) {
    return error;
  }
  sigset_t noSignals;
  sigemptyset(&noSignals);
  posix_spawnattr_setsigmask(&attributes, &noSignals);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t child = 0;
  const int spawnError =
      posix_spawnp(&child, command.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (spawnError != 0) {
    return spawnError;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      return errno;
    }
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : SystemctlFailed;
}

// Closes a descriptor on every path out of the dispatcher.
class TFileDescriptor {
 public:
  explicit TFileDescriptor(int fd) : FFd(fd) {}
  ~TFileDescriptor() {
    if (FFd >= 0) {
      close(FFd);
    }
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  int Get() const { return FFd; }

 private:
  int FFd;
};

// Blocks signals in the calling thread for its lifetime.
class TSignalMaskScope {
 public:
  explicit TSignalMaskScope(const sigset_t& signals)
      : FError(pthread_sigmask(SIG_BLOCK, &signals, &FPrevious)) {}
  ~TSignalMaskScope() {
    if (FError == 0) {
      pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr);
    }
  }
  TSignalMaskScope(const TSignalMaskScope&) = delete;
  TSignalMaskScope& operator=(const TSignalMaskScope&) = delete;
  int Error() const { return FError; }

 private:
  sigset_t FPrevious{};
  int FError;
};

class TSystemdServiceManager final : public TServiceManager {
 public:
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
#ifdef KELVRA_HAVE_LIBSYSTEMD
  // Runs entry on the service thread and hands stop signals to the handler until it returns.
  int Dispatch(const TServiceEntry& entry, int signals, int wake, std::exception_ptr& escaped);
#endif
  void WakeDispatcher();

  // Installation side: the thread that opened the manager only.
  bool FManagerOpen = false;
  std::string FServiceName;  // the open service, empty when none

  std::mutex FHandlerLock;  // guards FHandler
  TServiceControlHandler FHandler;
  // Set by RunDispatcher before the service thread starts and cleared after it is joined.
  std::atomic<int> FWakeFd{-1};
};

int TSystemdServiceManager::OpenManager() {
  Close();
  // Under KELVRA_UNIT_DIR the redirected directory stands for a running systemd, so that a test can
  // take either way by pointing it at a writable directory or at a missing one.
  struct stat info {};
  if (Environment("KELVRA_UNIT_DIR") == nullptr && stat(SystemdRuntimeDirectory, &info) != 0) {
    return errno;
  }
  const std::string directory = UnitDirectory();
  if (stat(directory.c_str(), &info) != 0) {
    return errno;
  }
  if (!S_ISDIR(info.st_mode)) {
    return ENOTDIR;
  }
  if (access(directory.c_str(), W_OK) != 0) {
    return errno;
  }
  FManagerOpen = true;
  return 0;
}

int TSystemdServiceManager::CreateService(const TServiceDefinition& service) {
  if (!FManagerOpen) {
    return EBADF;
  }
  if (!IsUsableExecPath(service.ProgramPath)) {
    return EINVAL;  // a unit systemd would not start
  }
  const std::string path = UnitPath(service.Name);
  if (const int error = WriteNewFile(path, FormatUnit(service)); error != 0) {
    return error;
  }
  // A unit that systemd did not take is removed again, so that the next attempt starts afresh.
  int error = RunSystemctl({"daemon-reload"});
  if (error == 0) {
    error = RunSystemctl({"enable", service.Name});
    if (error != 0) {
      unlink(path.c_str());
      RunSystemctl({"daemon-reload"});
    }
  } else {
    unlink(path.c_str());
  }
  if (error == 0) {
    FServiceName = service.Name;
  }
  return error;
}

int TSystemdServiceManager::OpenService(const std::string& name) {
  if (!FManagerOpen) {
    return EBADF;
  }
  struct stat info {};
  if (stat(UnitPath(name).c_str(), &info) != 0) {
    return errno;
  }
  FServiceName = name;
  return 0;
}

int TSystemdServiceManager::StartService() {
  if (FServiceName.empty()) {
    return EBADF;
  }
  return RunSystemctl({"start", FServiceName});
}

int TSystemdServiceManager::DeleteService() {
  if (FServiceName.empty()) {
    return EBADF;
  }
  if (const int error = RunSystemctl({"disable", FServiceName}); error != 0) {
    return error;
  }
  if (unlink(UnitPath(FServiceName).c_str()) != 0) {
    return errno;
  }
  // The unit is gone whatever the reload says; a running service stays until it stops.
  RunSystemctl({"daemon-reload"});
  return 0;
}

void TSystemdServiceManager::Close() {
  FServiceName.clear();
  FManagerOpen = false;
}

int TSystemdServiceManager::RunDispatcher(const std::string& /*serviceName*/,
                                          const TServiceEntry& entry) {
#ifdef KELVRA_HAVE_LIBSYSTEMD
  if (Environment("NOTIFY_SOCKET") == nullptr) {
    return ENOTCONN;  // not started by systemd
  }
  // Blocked here before the service thread starts, so that it inherits the mask and each stop
  // signal stays pending for the signalfd.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGUSR1);  // ServiceControlStatistics
  const TSignalMaskScope blocked(stopSignals);
  if (blocked.Error() != 0) {
    return blocked.Error();
  }
  const TFileDescriptor signals(signalfd(-1, &stopSignals, SFD_CLOEXEC));
  if (signals.Get() < 0) {
    return errno;
  }
  const TFileDescriptor wake(eventfd(0, EFD_CLOEXEC));
  if (wake.Get() < 0) {
    return errno;
  }
  std::exception_ptr escaped;
  FWakeFd.store(wake.Get());
  const int error = Dispatch(entry, signals.Get(), wake.Get(), escaped);
  FWakeFd.store(-1);
  if (escaped) {
    std::rethrow_exception(escaped);
  }
  return error;
#else
  (void)entry;
  return ENOSYS;  // built without libsystemd
#endif
}

#ifdef KELVRA_HAVE_LIBSYSTEMD
int TSystemdServiceManager::Dispatch(const TServiceEntry& entry, int signals, int wake,
                                     std::exception_ptr& escaped) {
  std::atomic<bool> finished{false};
  std::thread service;
  try {
    service = std::thread([&] {
      try {
        entry();
      } catch (...) {
        escaped = std::current_exception();
      }
      finished.store(true);
      WakeDispatcher();
    });
  } catch (const std::system_error& failure) {
    return failure.code().value();
  }
  unsigned pendingStops = 0;
  unsigned pendingStatistics = 0;
  while (!finished.load()) {
    pollfd waits[2] = {{signals, POLLIN, 0}, {wake, POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      continue;  // EINTR; nothing else can fail with these arguments
    }
    if ((waits[0].revents & POLLIN) != 0) {
      signalfd_siginfo received{};
      if (read(signals, &received, sizeof received) == sizeof received) {
        ++(received.ssi_signo == SIGUSR1 ? pendingStatistics : pendingStops);
      }
    }
    if ((waits[1].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t ignored = read(wake, &count, sizeof count);
    }
    // A stop that came before the handler was registered waits for it.
    TServiceControlHandler handler;
    {
      std::lock_guard lock(FHandlerLock);
      handler = FHandler;
    }
    for (; handler && pendingStatistics > 0; --pendingStatistics) {
      handler(ServiceControlStatistics);
    }
    for (; handler && pendingStops > 0; --pendingStops) {
      handler(ServiceControlStop);
    }
  }
  service.join();
  return 0;
}
#endif

TServiceStatusHandle TSystemdServiceManager::RegisterControlHandler(
    const std::string& /*serviceName*/, const TServiceControlHandler& handler) {
  {
    std::lock_guard lock(FHandlerLock);
    FHandler = handler;
  }
  WakeDispatcher();
  return SystemdStatusHandle;
}

void TSystemdServiceManager::WakeDispatcher() {
  const int fd = FWakeFd.load();
  if (fd >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = write(fd, &one, sizeof one);
  }
}

void TSystemdServiceManager::ReportStatus(TServiceStatusHandle handle, std::uint32_t state,
                                          std::uint32_t /*exitCode*/, TServiceProgress progress) {
  if (handle == 0) {
    return;
  }
#ifdef KELVRA_HAVE_LIBSYSTEMD
  switch (state) {
    case ServiceStateRunning:
      sd_notify(0, "READY=1");
      break;
    case ServiceStateStopPending:
      // A rising check point asks for more time, as the Service Control Manager's wait hint does.
      if (progress.CheckPoint > 0) {
        // The check point also shows in "systemctl status".
        sd_notifyf(0, "STOPPING=1\nSTATUS=stopping, check point %u\nEXTEND_TIMEOUT_USEC=%llu",
                   static_cast<unsigned>(progress.CheckPoint),
                   static_cast<unsigned long long>(progress.WaitHintMs) * 1000ULL);
      } else {
        sd_notify(0, "STOPPING=1");
      }
      break;
    case ServiceStateStopped:
      sd_notify(0, "STATUS=stopped");
      break;
    default:
      break;
  }
#else
  (void)state;
  (void)progress;
#endif
}

}  // namespace

std::unique_ptr<TServiceManager> CreateServiceManager() {
  return std::make_unique<TSystemdServiceManager>();
}

int ControlInstalledService(const std::string& name, std::uint32_t control, std::uint32_t& state) {
  if (control == ServiceControlInterrogate) {
    // is-active answers with its exit code alone: 0 for an active unit.
    const int error = RunSystemctl({"is-active", "--quiet", name});
    state = error == 0 ? ServiceStateRunning : ServiceStateStopped;
    return error == SystemctlFailed ? 0 : error;
  }
  if (control == ServiceControlStop) {
    const int error = RunSystemctl({"stop", name});
    if (error == 0) {
      state = ServiceStateStopped;
    }
    return error;
  }
  return EINVAL;
}

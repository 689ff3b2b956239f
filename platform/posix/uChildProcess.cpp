#include "platform/uChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

extern char** environ;

namespace {

// The caller's environment with the additions, as NAME=value texts.
std::vector<std::string> BuildEnvironment(
    const std::vector<std::pair<std::string, std::string>>& additions) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& [addedName, value] : additions) {
      replaced = replaced || addedName == name;
    }
    if (!replaced) {
      result.push_back(text);
    }
  }
  for (const auto& [name, value] : additions) {
    result.push_back(name + "=" + value);
  }
  return result;
}

std::vector<char*> PointerList(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (auto& text : texts) {
    result.push_back(text.data());
  }
  result.push_back(nullptr);
  return result;
}

void Check(int result, const char* what) {
  if (result != 0) {
    throw std::system_error(result, std::generic_category(), what);
  }
}

}  // namespace

TChildProcess::TChildProcess(const TOptions& options) {
  std::vector<std::string> arguments{options.Program};
  arguments.insert(arguments.end(), options.Arguments.begin(), options.Arguments.end());
  std::vector<std::string> environment = BuildEnvironment(options.Environment);
  std::vector<char*> argv = PointerList(arguments);
  std::vector<char*> envp = PointerList(environment);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  Check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
  Check(posix_spawnattr_init(&attributes), "posix_spawnattr_init");
  int result = 0;
  // The child's ends of the pipes; the caller's are kept in FInput and FOutput.
  TPipeEnd childInput;
  TPipeEnd childOutput;
  if (options.PipeStandardStreams) {
    std::string error;
    if (!CreatePipe(childInput, FInput, error) || !CreatePipe(FOutput, childOutput, error)) {
      posix_spawn_file_actions_destroy(&actions);
      posix_spawnattr_destroy(&attributes);
      throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    // dup2 clears close-on-exec on the copies only; every pipe end stays closed in other children.
    result = posix_spawn_file_actions_adddup2(&actions, static_cast<int>(childInput.Handle()),
                                              STDIN_FILENO);
    if (result == 0) {
      result = posix_spawn_file_actions_adddup2(&actions, static_cast<int>(childOutput.Handle()),
                                                STDOUT_FILENO);
    }
  }
  if (result == 0 && !options.WorkingDirectory.empty()) {
    result = posix_spawn_file_actions_addchdir_np(&actions, options.WorkingDirectory.c_str());
  }
  if (result == 0 && !options.PipeStandardStreams && !options.OutputPath.empty()) {
    result = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.OutputPath.c_str(),
                                              O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (result == 0) {
      result = posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
  }
  if (result == 0 && !options.PipeStandardStreams && !options.InputPath.empty()) {
    result = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.InputPath.c_str(),
                                              O_RDONLY, 0);
  }
  sigset_t noSignals;
  sigemptyset(&noSignals);
  sigset_t allSignals;
  sigfillset(&allSignals);
  if (result == 0) {
    result = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  if (result == 0) {
    result = posix_spawnattr_setsigmask(&attributes, &noSignals);
  }
  if (result == 0) {
    result = posix_spawnattr_setsigdefault(&attributes, &allSignals);
  }
  pid_t id = -1;
  if (result == 0) {
    result =
        posix_spawn(&id, options.Program.c_str(), &actions, &attributes, argv.data(), envp.data());
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  Check(result, "posix_spawn");
  FId = id;
}

TChildProcess::~TChildProcess() {
  if (!Reap(false)) {
    Kill();
    Reap(true);
  }
}

void TChildProcess::RequestStop() {
  if (!FEnded) {
    kill(FId, SIGTERM);
  }
}

void TChildProcess::Interrupt() {
  if (!FEnded) {
    kill(FId, SIGINT);
  }
}

void TChildProcess::Kill() {
  if (!FEnded) {
    kill(FId, SIGKILL);
  }
}

bool TChildProcess::Reap(bool wait) {
  if (FEnded) {
    return true;
  }
  int status = 0;
  pid_t result;
  do {
    result = waitpid(FId, &status, wait ? 0 : WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == 0) {
    return false;
  }
  FEnded = true;
  if (result == FId && WIFEXITED(status)) {
    FExitCode = WEXITSTATUS(status);
  } else if (result == FId && WIFSIGNALED(status)) {
    FTermSignal = WTERMSIG(status);
  }
  return true;
}

bool TChildProcess::WaitFor(std::uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool TChildProcess::Running() {
  return !Reap(false);
}

std::uint64_t ProcessPeakMemory(int processId) {
  std::ifstream status("/proc/" + std::to_string(processId) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::stoull(line.substr(6)) * 1024;  // the kernel gives kB
    }
  }
  return 0;
}

double ProcessCpuSeconds(int processId) {
  std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) {
    return -1;
  }
  // The name may hold spaces: the fields are counted from the last ')'. After it come the
  // state (field 3) and so on; utime and stime are fields 14 and 15, in clock ticks.
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) {
    return -1;
  }
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int skipped = 3; skipped < 14 && fields >> field; ++skipped) {
  }
  unsigned long long user = 0;
  unsigned long long system = 0;
  if (!(fields >> user >> system)) {
    return -1;
  }
  return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool ProcessRunning(int processId) {
  if (processId <= 0 || (kill(static_cast<pid_t>(processId), 0) != 0 && errno != EPERM)) {
    return false;
  }
  // An orphan's new parent may be slow to reap it: a zombie has ended. The state is the field
  // after the name, which ends with the last ')'.
  std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) {
    return true;
  }
  const std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

#include "platform/uChildProcess.h"

#include <windows.h>

#include <psapi.h>

#include <cstring>
#include <system_error>
#include <vector>

#include "platform/uStopSignals.h"

namespace {

// The exit code of a child ended by Kill, or by a stop request it could not receive: what
// "taskkill /f" leaves.
constexpr UINT KilledExitCode = 1;

HANDLE ProcessHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// One argument as the C runtime's command-line parser reads it back (CommandLineToArgvW rules):
// quotes around text with blanks, quotes or nothing in it; a quote inside escaped with a
// backslash, and backslashes doubled only where a quote follows them.
void AppendQuotedArgument(std::string& line, const std::string& argument) {
  if (!line.empty()) {
    line += ' ';
  }
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
    line += argument;
    return;
  }
  line += '"';
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      line.append(backslashes * 2 + 1, '\\');
    } else {
      line.append(backslashes, '\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, '\\');
  line += '"';
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// The caller's environment with the additions (names compare without case on Windows), as the
// block CreateProcessA takes: NAME=value texts, each ended by a zero, and one more zero.
std::string BuildEnvironmentBlock(
    const std::vector<std::pair<std::string, std::string>>& additions) {
  std::string block;
  if (char* strings = GetEnvironmentStringsA()) {
    for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1) {
      const std::string text(entry);
      // Names may begin with "=" (the per-drive current directories, "=C:=C:\dir").
      const std::string name = text.substr(0, text.find('=', 1));
      bool replaced = false;
      for (const auto& [addedName, value] : additions) {
        replaced = replaced || SameNameIgnoringCase(addedName, name);
      }
      if (!replaced) {
        block += text;
        block += '\0';
      }
    }
    FreeEnvironmentStringsA(strings);
  }
  for (const auto& [name, value] : additions) {
    block += name + "=" + value;
    block += '\0';
  }
  block += '\0';
  return block;
}

[[noreturn]] void ThrowLastError(const char* what) {
  throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), what);
}

// Closes a handle at the end of the scope.
struct THandleCloser {
  HANDLE Handle = INVALID_HANDLE_VALUE;
  ~THandleCloser() {
    if (Handle != INVALID_HANDLE_VALUE && Handle != nullptr) {
      CloseHandle(Handle);
    }
  }
};

// The explicit list of handles a child inherits (PROC_THREAD_ATTRIBUTE_HANDLE_LIST). Without it
// a child inherits every inheritable handle of the process, among them the pipe ends of a child
// that another thread is starting at the same moment, which then stay open for the other
// child's whole life: a host's end would not be seen.
class TInheritedHandles {
 public:
  // Each handle once; invalid ones and those not marked inheritable are left out.
  void Add(HANDLE handle) {
    DWORD flags = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !GetHandleInformation(handle, &flags) || (flags & HANDLE_FLAG_INHERIT) == 0) {
      return;
    }
    for (const HANDLE known : FHandles) {
      if (known == handle) {
        return;
      }
    }
    FHandles.push_back(handle);
  }

  // The attribute list for STARTUPINFOEXA, null when nothing is to be inherited.
  LPPROC_THREAD_ATTRIBUTE_LIST Build() {
    if (FHandles.empty()) {
      return nullptr;
    }
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    FBuffer.assign(size, 0);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(FBuffer.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      ThrowLastError("InitializeProcThreadAttributeList");
    }
    FList = list;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, FHandles.data(),
                                   FHandles.size() * sizeof(HANDLE), nullptr, nullptr)) {
      ThrowLastError("UpdateProcThreadAttribute");
    }
    return list;
  }

  ~TInheritedHandles() {
    if (FList != nullptr) {
      DeleteProcThreadAttributeList(FList);
    }
  }

 private:
  std::vector<HANDLE> FHandles;
  std::vector<char> FBuffer;
  LPPROC_THREAD_ATTRIBUTE_LIST FList = nullptr;
};

}  // namespace

TChildProcess::TChildProcess(const TOptions& options) {
  std::string commandLine;
  AppendQuotedArgument(commandLine, options.Program);
  for (const std::string& argument : options.Arguments) {
    AppendQuotedArgument(commandLine, argument);
  }
  std::string environment = BuildEnvironmentBlock(options.Environment);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  THandleCloser output;
  THandleCloser input;
  bool inheritHandles = false;
  // The child's ends of the pipes, inheritable; the caller's stay in FInput and FOutput.
  TPipeEnd childInput;
  TPipeEnd childOutput;
  DWORD windowFlags = 0;
  if (options.PipeStandardStreams) {
    std::string error;
    if (!CreatePipe(childInput, FInput, error) || !CreatePipe(FOutput, childOutput, error) ||
        !SetHandleInformation(reinterpret_cast<HANDLE>(childInput.Handle()), HANDLE_FLAG_INHERIT,
                              HANDLE_FLAG_INHERIT) ||
        !SetHandleInformation(reinterpret_cast<HANDLE>(childOutput.Handle()), HANDLE_FLAG_INHERIT,
                              HANDLE_FLAG_INHERIT)) {
      ThrowLastError("CreatePipe");
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = reinterpret_cast<HANDLE>(childInput.Handle());
    startup.hStdOutput = reinterpret_cast<HANDLE>(childOutput.Handle());
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    inheritHandles = true;
    windowFlags = CREATE_NO_WINDOW;
  } else if (!options.OutputPath.empty() || !options.InputPath.empty()) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    // Standard handles are given all three or none: what is not redirected stays the caller's.
    if (!options.OutputPath.empty()) {
      output.Handle =
          CreateFileA(options.OutputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (output.Handle == INVALID_HANDLE_VALUE) {
        ThrowLastError("CreateFileA");
      }
    }
    // Without an input file the child reads nothing.
    const char* inputPath = options.InputPath.empty() ? "NUL" : options.InputPath.c_str();
    input.Handle = CreateFileA(inputPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (input.Handle == INVALID_HANDLE_VALUE) {
      ThrowLastError("CreateFileA");
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Handle;
    startup.hStdOutput =
        options.OutputPath.empty() ? GetStdHandle(STD_OUTPUT_HANDLE) : output.Handle;
    startup.hStdError = options.OutputPath.empty() ? GetStdHandle(STD_ERROR_HANDLE) : output.Handle;
    inheritHandles = true;
  }

  STARTUPINFOEXA extended{};
  extended.StartupInfo = startup;
  // A process group of its own, so that Ctrl+Break can be sent to the child alone.
  DWORD flags = CREATE_NEW_PROCESS_GROUP | windowFlags;
  TInheritedHandles inherited;
  if (inheritHandles) {
    inherited.Add(startup.hStdInput);
    inherited.Add(startup.hStdOutput);
    inherited.Add(startup.hStdError);
    extended.lpAttributeList = inherited.Build();
    inheritHandles = extended.lpAttributeList != nullptr;
  }
  if (extended.lpAttributeList != nullptr) {
    extended.StartupInfo.cb = sizeof extended;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(options.Program.c_str(), commandLine.data(), nullptr, nullptr,
                      inheritHandles ? TRUE : FALSE, flags, environment.data(),
                      options.WorkingDirectory.empty() ? nullptr : options.WorkingDirectory.c_str(),
                      &extended.StartupInfo, &process)) {
    ThrowLastError("CreateProcessA");
  }
  CloseHandle(process.hThread);
  FHandle = reinterpret_cast<std::intptr_t>(process.hProcess);
  FId = static_cast<int>(process.dwProcessId);
}

TChildProcess::~TChildProcess() {
  if (!Reap(false)) {
    Kill();
    Reap(true);
  }
  CloseHandle(ProcessHandle(FHandle));
}

// The server's stop watcher takes the stop request; a program without one gets Ctrl+Break, which
// ends a console program that does not handle it. A child that can take neither (no watcher and
// no console, as under a headless Wine) is ended, as SIGTERM's default action would.
void TChildProcess::RequestStop() {
  if (FEnded) {
    return;
  }
  if (SendStopRequest(FId) == 0) {
    return;
  }
  if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(FId))) {
    return;
  }
  TerminateProcess(ProcessHandle(FHandle), KilledExitCode);
}

// Ctrl+C cannot be sent to one process group; Ctrl+Break is the interactive interrupt that can,
// and the server takes both alike. Without a console the stop request stands in for it.
void TChildProcess::Interrupt() {
  if (FEnded) {
    return;
  }
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(FId))) {
    SendStopRequest(FId);
  }
}

void TChildProcess::Kill() {
  if (!FEnded) {
    TerminateProcess(ProcessHandle(FHandle), KilledExitCode);
  }
}

bool TChildProcess::Reap(bool wait) {
  if (FEnded) {
    return true;
  }
  if (WaitForSingleObject(ProcessHandle(FHandle), wait ? INFINITE : 0) != WAIT_OBJECT_0) {
    return false;
  }
  FEnded = true;
  DWORD code = 0;
  if (GetExitCodeProcess(ProcessHandle(FHandle), &code)) {
    FExitCode = static_cast<int>(code);
  }
  FTermSignal = 0;
  return true;
}

bool TChildProcess::WaitFor(std::uint32_t timeoutMs) {
  if (FEnded) {
    return true;
  }
  if (WaitForSingleObject(ProcessHandle(FHandle), timeoutMs) != WAIT_OBJECT_0) {
    return false;
  }
  return Reap(false);
}

bool TChildProcess::Running() {
  return !Reap(false);
}

std::uint64_t ProcessPeakMemory(int processId) {
  THandleCloser process;
  process.Handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE,
                               FALSE, static_cast<DWORD>(processId));
  if (process.Handle == nullptr) {
    return 0;
  }
  // A process that has ended keeps its object while handles to it are open, but has no memory.
  if (WaitForSingleObject(process.Handle, 0) == WAIT_OBJECT_0) {
    return 0;
  }
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process.Handle, &counters, sizeof counters)) {
    return 0;
  }
  return counters.PeakWorkingSetSize;
}

double ProcessCpuSeconds(int processId) {
  THandleCloser process;
  process.Handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                               static_cast<DWORD>(processId));
  if (process.Handle == nullptr) {
    return -1;
  }
  // As on Linux once it is reaped: a process that has ended has nothing to read.
  if (WaitForSingleObject(process.Handle, 0) == WAIT_OBJECT_0) {
    return -1;
  }
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(process.Handle, &created, &exited, &kernel, &user)) {
    return -1;
  }
  // Both come in units of 100 ns.
  const auto ticks = [](const FILETIME& time) {
    return static_cast<double>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) / 1e7;
}

bool ProcessRunning(int processId) {
  THandleCloser process;
  process.Handle = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
  if (process.Handle == nullptr) {
    return false;
  }
  return WaitForSingleObject(process.Handle, 0) == WAIT_TIMEOUT;
}

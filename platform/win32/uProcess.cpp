// The process on Windows: its path from GetModuleFileNameA, and the fatal-error report as a message
// box, or on standard error where no one could answer a box.
#include <windows.h>

#include <vector>

#include "platform/uProcess.h"

const char PathDelimiter = '\\';

namespace {

// A message box needs a desktop someone sees: a service, or a process in a non-interactive window
// station, would block forever on a box that no one can close.
bool HasInteractiveDesktop() {
  const HWINSTA station = GetProcessWindowStation();
  if (station == nullptr) {
    return false;
  }
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (!GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
    return false;
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Standard error sent to a file or a pipe is read by whoever started the process (a test, a
// script, a service wrapper): the report goes there instead of into a box.
bool StandardErrorIsRedirected(HANDLE error) {
  if (error == nullptr || error == INVALID_HANDLE_VALUE) {
    return false;
  }
  const DWORD type = GetFileType(error);
  return type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE;
}

void WriteToStandardError(HANDLE error, const std::string& text) {
  // LF, as on every platform: the bytes are the same whoever reads them.
  const std::string line = "Application Error: " + text + "\n";
  DWORD written = 0;
  WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  FlushFileBuffers(error);
}

}  // namespace

std::string ExecutablePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return {};
    }
    // A path that does not fit is cut and the call reports the full buffer.
    if (length < buffer.size()) {
      return std::string(buffer.data(), length);
    }
    if (buffer.size() >= 32768) {
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
}

void RaiseOpenFileLimit() {
  // Windows has no per-process limit of open handles to raise.
}

void LimitHeapArenas() {
  // The process heap is shared by every thread already.
}

std::size_t OpenFileLimit() {
  // Files are opened as handles, of which a process may hold millions.
  return 0;
}

void ReportFatalError(const std::string& text) {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (StandardErrorIsRedirected(error) || !HasInteractiveDesktop()) {
    if (error != nullptr && error != INVALID_HANDLE_VALUE) {
      WriteToStandardError(error, text);
    }
    return;
  }
  // A box that cannot be shown (no display: Wine without one answers at once) must not lose the
  // text. With only an OK button, every way of closing the box gives IDOK.
  const int answer = MessageBoxA(nullptr, text.c_str(), "Application Error",
                                 MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TASKMODAL);
  if (answer != IDOK && error != nullptr && error != INVALID_HANDLE_VALUE) {
    WriteToStandardError(error, text);
  }
}

namespace {

LONG WINAPI EndOnFault(EXCEPTION_POINTERS* fault) {
  TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void EndProcessOnUnhandledFault() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(EndOnFault);
}

#include "platform/uDynamicLibrary.h"

#include <windows.h>

#include <string>

namespace {

// The system's text for an error code, without the line end it ends with, and the code itself.
std::string SystemErrorText(DWORD error) {
  char buffer[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, buffer, sizeof buffer, nullptr);
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' ||
                        buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
    --length;
  }
  std::string text(buffer, length);
  return (text.empty() ? "error" : text) + " [code=" + std::to_string(error) + "]";
}

}  // namespace

bool TDynamicLibrary::Load(const std::string& path) {
  Release();
  FLoadError.clear();
  // An empty name is no library; LoadLibraryA would fail on it anyway.
  if (path.empty()) {
    FLoadError = "empty library path";
    return false;
  }
  // No "cannot find the DLL" dialog for a missing library or one of its dependencies: a service
  // has no one to answer it.
  DWORD previousMode = 0;
  const bool quiet =
      SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode) != 0;
  FHandle = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  if (quiet) {
    const DWORD loadError = GetLastError();
    SetThreadErrorMode(previousMode, nullptr);
    SetLastError(loadError);
  }
  if (FHandle == nullptr) {
    FLoadError = SystemErrorText(GetLastError());
  }
  return FHandle != nullptr;
}

void* TDynamicLibrary::Symbol(const char* name) const {
  if (FHandle == nullptr) {
    return nullptr;
  }
  // A function address is handed out as a data pointer, as dlsym does; Function() casts it back.
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(FHandle), name));
}

void TDynamicLibrary::Release() noexcept {
  if (FHandle != nullptr) {
    FreeLibrary(static_cast<HMODULE>(FHandle));
    FHandle = nullptr;
  }
}

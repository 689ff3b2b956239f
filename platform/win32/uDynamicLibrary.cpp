#include "platform/uDynamicLibrary.h"

#include <windows.h>

bool TDynamicLibrary::Load(const std::string& path) {
  Release();
  // An empty name is no library; LoadLibraryA would fail on it anyway.
  if (path.empty()) {
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

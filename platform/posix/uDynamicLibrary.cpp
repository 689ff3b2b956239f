#include "platform/uDynamicLibrary.h"

#include <dlfcn.h>

bool TDynamicLibrary::Load(const std::string& path) {
  Release();
  FLoadError.clear();
  // An empty name would give the handle of the program itself.
  if (path.empty()) {
    FLoadError = "empty library path";
    return false;
  }
  FHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (FHandle == nullptr) {
    const char* reason = dlerror();
    FLoadError = reason != nullptr ? reason : "unknown loader error";
  }
  return FHandle != nullptr;
}

void* TDynamicLibrary::Symbol(const char* name) const {
  return FHandle != nullptr ? dlsym(FHandle, name) : nullptr;
}

void TDynamicLibrary::Release() noexcept {
  if (FHandle != nullptr) {
    dlclose(FHandle);
    FHandle = nullptr;
  }
}

#pragma once

#include <string>

// A dynamic library loaded by path, released by its owner (RAII). The path is handed to the
// platform's loader unchanged, so a relative path is found by the platform's search rules.
// Loading a path that is already loaded counts one more load of the same library.
//
// One owner uses an object at a time; it has no lock.
class TDynamicLibrary {
 public:
  TDynamicLibrary() = default;
  TDynamicLibrary(const TDynamicLibrary&) = delete;
  TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;
  ~TDynamicLibrary() { Release(); }

  // Releases any library held, then loads the named one with its dependencies resolved at once.
  // False on failure; LoadError() then tells why.
  bool Load(const std::string& path);

  // Why the last Load failed, in the platform loader's words (dlerror on POSIX, FormatMessage of
  // GetLastError on Windows), without a trailing line end; empty after a successful Load.
  const std::string& LoadError() const noexcept { return FLoadError; }

  bool IsLoaded() const noexcept { return FHandle != nullptr; }

  // The address of an export, or null when the library has none of that name (or none is loaded).
  void* Symbol(const char* name) const;

  // The export as a function pointer of type F, or null.
  template <typename F>
  F Function(const char* name) const {
    return reinterpret_cast<F>(Symbol(name));
  }

  // Counts one load less; the library leaves the process when no load is left.
  void Release() noexcept;

  // Gives up the handle without releasing it: the library stays loaded until the process ends.
  void Abandon() noexcept { FHandle = nullptr; }

 private:
  void* FHandle = nullptr;
  std::string FLoadError;
};

#include "platform/uEnvironment.h"

#include <windows.h>

#include <stdlib.h>

#include <vector>

std::string EnvironmentValue(const std::string& name) {
  std::vector<char> buffer(256);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableA(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return {};
    }
    if (length < buffer.size()) {
      return std::string(buffer.data(), length);
    }
    // Too small: the length asked for includes the terminating zero.
    buffer.resize(length);
  }
}

// The process block (GetEnvironmentVariableA, child processes) and the C runtime's copy (getenv,
// which plug-ins read) are two stores on Windows; both are changed so that they agree.
void SetEnvironmentValue(const std::string& name, const std::string& value) {
  if (value.empty()) {
    SetEnvironmentVariableA(name.c_str(), nullptr);
    _putenv_s(name.c_str(), "");
  } else {
    SetEnvironmentVariableA(name.c_str(), value.c_str());
    _putenv_s(name.c_str(), value.c_str());
  }
}

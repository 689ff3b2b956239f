#include "platform/uEnvironment.h"

#include <stdlib.h>

std::string EnvironmentValue(const std::string& name) {
  const char* value = getenv(name.c_str());
  return value != nullptr ? value : "";
}

void SetEnvironmentValue(const std::string& name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

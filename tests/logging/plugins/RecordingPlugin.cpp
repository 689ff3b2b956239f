// A test plug-in that records every call it gets, for the tests of the plug-in producer.
//
// Recorded lines:
//   Initialize|<base>|<address>|<port>|<application>|<module>|<prefix>|<thread>
//   AddMessage|<clientTime>|<serverTime>|<text>|<thread>
//   Finalize|<thread>
// with times as "%.17g" and <thread> the hash of the calling thread's id. A message text "throw"
// throws after being recorded; "sleep:N" sleeps N milliseconds before being recorded.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "logging/uLogServerInterface.h"

namespace {

std::mutex Lock;  // guards Record
std::string Record;

std::string ThreadTag() {
  return std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

std::string Time(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

void Add(const std::string& line) {
  std::lock_guard lock(Lock);
  Record += line;
  Record += '\n';
}

}  // namespace

extern "C" {

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Initialize(
    const char* baseCatalog, const char* peerAddress, const char* peerPort,
    const char* applicationName, const char* moduleName, const char* filePrefix) {
  Add(std::string("Initialize|") + baseCatalog + "|" + peerAddress + "|" + peerPort + "|" +
      applicationName + "|" + moduleName + "|" + filePrefix + "|" + ThreadTag());
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddMessage(double clientTime,
                                                                double serverTime,
                                                                const char* text) {
  if (std::strncmp(text, "sleep:", 6) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(text + 6)));
  }
  Add("AddMessage|" + Time(clientTime) + "|" + Time(serverTime) + "|" + text + "|" + ThreadTag());
  if (std::strcmp(text, "throw") == 0) {
    throw std::runtime_error("plug-in failure");
  }
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Finalize(void) {
  Add("Finalize|" + ThreadTag());
}

// For the tests: copies the record (zero-terminated when it fits) and returns its length.
LOGPROVIDER_EXPORT std::size_t Recording_Read(char* buffer, std::size_t capacity) {
  std::lock_guard lock(Lock);
  if (capacity > Record.size()) {
    std::memcpy(buffer, Record.c_str(), Record.size() + 1);
  }
  return Record.size();
}

LOGPROVIDER_EXPORT void Recording_Reset(void) {
  std::lock_guard lock(Lock);
  Record.clear();
}

}  // extern "C"

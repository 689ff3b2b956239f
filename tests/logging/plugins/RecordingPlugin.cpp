// A test plug-in that records every call it gets, for the tests of the plug-in producer.
//
// Recorded lines:
//   Initialize|<base>|<address>|<port>|<application>|<module>|<prefix>|<thread>
//   AddMessage|<clientTime>|<serverTime>|<text>|<thread>
//   Finalize|<thread>
// Built as RecordingForwarder (RECORDING_FORWARDER defined) it is a forwarder instead:
//   AddRecord|<clientTime>|<serverTime>|<address>|<port>|<application>|<module>|<prefix>|<text>|<thread>
//   Statistics|<thread>
// and its LogProvider_Statistics reports sent = acknowledged = the AddRecord calls since the
// last Recording_Reset (so tests in one process do not see each other's calls),
// spooled 0, dropped 0.
// with times as "%.17g" and <thread> the hash of the calling thread's id. Each call is recorded
// when it begins. A message text "throw" then throws; "block" waits until Recording_Unblock().
//
// Run in a plug-in host, where the tests cannot call it, it records to the file named by the
// environment variable KELVRA_RECORDING_FILE as well (one whole line per write), and "block"
// also ends once a file of that name with ".unblock" appended exists.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "logging/uLogServerInterface.h"

namespace {

std::mutex Lock;  // guards Record, Unblocked and RecordCalls
std::condition_variable UnblockedChanged;
std::string Record;
bool Unblocked = false;

std::string ThreadTag() {
  return std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
}

std::string Time(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// The record file, or empty; read once per call, since the tests set it before each producer.
std::string RecordFile() {
  const char* path = std::getenv("KELVRA_RECORDING_FILE");
  return path != nullptr ? path : "";
}

void Add(const std::string& line) {
  std::lock_guard lock(Lock);
  Record += line;
  Record += '\n';
  if (const std::string path = RecordFile(); !path.empty()) {
    if (std::FILE* file = std::fopen(path.c_str(), "ab")) {
      const std::string whole = line + '\n';
      std::fwrite(whole.data(), 1, whole.size(), file);
      std::fclose(file);
    }
  }
}

bool UnblockFileExists() {
  const std::string path = RecordFile();
  if (path.empty()) {
    return false;
  }
  std::FILE* file = std::fopen((path + ".unblock").c_str(), "rb");
  if (file != nullptr) {
    std::fclose(file);
  }
  return file != nullptr;
}

void BlockOrThrow(const char* text) {
  if (std::strcmp(text, "block") == 0) {
    std::unique_lock lock(Lock);
    while (!UnblockedChanged.wait_for(lock, std::chrono::milliseconds(5), [] {
      return Unblocked;
    }) && !UnblockFileExists()) {
    }
  }
  if (std::strcmp(text, "throw") == 0) {
    throw std::runtime_error("plug-in failure");
  }
}

#ifdef RECORDING_FORWARDER
unsigned long long RecordCalls = 0;  // AddRecord calls, guarded by Lock
#endif

}  // namespace

extern "C" {

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Initialize(
    const char* baseCatalog, const char* peerAddress, const char* peerPort,
    const char* applicationName, const char* moduleName, const char* filePrefix) {
  Add(std::string("Initialize|") + baseCatalog + "|" + peerAddress + "|" + peerPort + "|" +
      applicationName + "|" + moduleName + "|" + filePrefix + "|" + ThreadTag());
}

#ifdef RECORDING_FORWARDER
LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddRecord(
    double clientTime, double serverTime, const char* peerAddress, unsigned short peerPort,
    const char* application, const char* module, const char* prefix, const char* text) {
  Add("AddRecord|" + Time(clientTime) + "|" + Time(serverTime) + "|" + peerAddress + "|" +
      std::to_string(peerPort) + "|" + application + "|" + module + "|" + prefix + "|" + text +
      "|" + ThreadTag());
  {
    std::lock_guard lock(Lock);
    ++RecordCalls;
  }
  BlockOrThrow(text);
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Statistics(TLogProviderStatistics* counts) {
  Add("Statistics|" + ThreadTag());
  std::lock_guard lock(Lock);
  counts->sent = RecordCalls;
  counts->acknowledged = RecordCalls;
  counts->spooled = 0;
  counts->dropped = 0;
}
#else
LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddMessage(double clientTime,
                                                                double serverTime,
                                                                const char* text) {
  Add("AddMessage|" + Time(clientTime) + "|" + Time(serverTime) + "|" + text + "|" + ThreadTag());
  BlockOrThrow(text);
}
#endif

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
  Unblocked = false;
#ifdef RECORDING_FORWARDER
  RecordCalls = 0;
#endif
}

LOGPROVIDER_EXPORT void Recording_Unblock(void) {
  {
    std::lock_guard lock(Lock);
    Unblocked = true;
  }
  UnblockedChanged.notify_all();
}

}  // extern "C"

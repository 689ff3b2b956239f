// A test plug-in for the plug-in host: it appends every call to the file named by the stream's
// file prefix, and on some message texts ends its process the way a faulty plug-in does:
//   "segv"   writes through a null pointer     "abort"  calls abort()
//   "exit"   calls exit(3)                      "hang"   never returns
// Recorded lines: "Initialize|<address>|<port>|<application>|<module>", "<text>", "Finalize".
//
// Built as FaultForwarder (FAULT_FORWARDER defined) it is a forwarder of section "Forward": it
// records to the file named by the environment variable KELVRA_FAULT_FILE (its Initialize texts
// are empty), "Initialize", "<text>" for each LogProvider_AddRecord and "Finalize", and ends its
// process on the same texts. Its LogProvider_Statistics gives sent = acknowledged = the
// LogProvider_AddRecord calls of this process; after the text "stuck", which hangs as "hang"
// does, LogProvider_Statistics never returns either.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "logging/uLogServerInterface.h"

namespace {

std::string OutputPath;
#ifdef FAULT_FORWARDER
std::atomic<unsigned long long> Records{0};
std::atomic<bool> Stuck{false};
#endif

void Append(const std::string& line) {
  if (std::FILE* file = std::fopen(OutputPath.c_str(), "ab")) {
    std::fputs((line + "\n").c_str(), file);
    std::fclose(file);
  }
}

// Records the text, then ends the process as the text says.
void Fault(const char* text) {
  Append(text);
  if (std::strcmp(text, "segv") == 0) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  } else if (std::strcmp(text, "abort") == 0) {
    std::abort();
  } else if (std::strcmp(text, "exit") == 0) {
    std::exit(3);
  } else if (std::strcmp(text, "hang") == 0 || std::strcmp(text, "stuck") == 0) {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }
}

}  // namespace

extern "C" {

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Initialize(
    const char* baseCatalog, const char* peerAddress, const char* peerPort,
    const char* applicationName, const char* moduleName, const char* filePrefix) {
#ifdef FAULT_FORWARDER
  const char* file = std::getenv("KELVRA_FAULT_FILE");
  OutputPath = file != nullptr ? file : "";
  (void)baseCatalog;
  (void)peerAddress;
  (void)peerPort;
  (void)applicationName;
  (void)moduleName;
  (void)filePrefix;
  Append("Initialize");
#else
  OutputPath = filePrefix;
  Append(std::string("Initialize|") + baseCatalog + "|" + peerAddress + "|" + peerPort + "|" +
         applicationName + "|" + moduleName);
#endif
}

#ifdef FAULT_FORWARDER
LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddRecord(
    double clientTime, double serverTime, const char* peerAddress, unsigned short peerPort,
    const char* application, const char* module, const char* prefix, const char* text) {
  (void)peerAddress;
  (void)peerPort;
  (void)application;
  (void)module;
  (void)prefix;
  ++Records;
  if (std::strcmp(text, "stuck") == 0) {
    Stuck = true;
  }
  (void)clientTime;
  (void)serverTime;
  Fault(text);
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Statistics(TLogProviderStatistics* counts) {
  while (Stuck) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  counts->sent = Records;
  counts->acknowledged = Records;
  counts->spooled = 0;
  counts->dropped = 0;
}
#else
LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddMessage(double clientTime,
                                                                double serverTime,
                                                                const char* text) {
  (void)clientTime;
  (void)serverTime;
  Fault(text);
}
#endif

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Finalize(void) {
  Append("Finalize");
}
}

// A test plug-in for the plug-in host: it appends every call to the file named by the stream's
// file prefix, and on some message texts ends its process the way a faulty plug-in does:
//   "segv"   writes through a null pointer     "abort"  calls abort()
//   "exit"   calls exit(3)                      "hang"   never returns
// Recorded lines: "Initialize|<address>|<port>|<application>|<module>", "<text>", "Finalize".

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "logging/uLogServerInterface.h"

namespace {

std::string OutputPath;

void Append(const std::string& line) {
  if (std::FILE* file = std::fopen(OutputPath.c_str(), "ab")) {
    std::fputs((line + "\n").c_str(), file);
    std::fclose(file);
  }
}

}  // namespace

extern "C" {

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Initialize(
    const char* baseCatalog, const char* peerAddress, const char* peerPort,
    const char* applicationName, const char* moduleName, const char* filePrefix) {
  OutputPath = filePrefix;
  Append(std::string("Initialize|") + baseCatalog + "|" + peerAddress + "|" + peerPort + "|" +
         applicationName + "|" + moduleName);
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddMessage(double clientTime,
                                                                double serverTime,
                                                                const char* text) {
  (void)clientTime;
  (void)serverTime;
  Append(text);
  if (std::strcmp(text, "segv") == 0) {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
  } else if (std::strcmp(text, "abort") == 0) {
    std::abort();
  } else if (std::strcmp(text, "exit") == 0) {
    std::exit(3);
  } else if (std::strcmp(text, "hang") == 0) {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Finalize(void) {
  Append("Finalize");
}
}

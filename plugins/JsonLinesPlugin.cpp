// An example plug-in for Kelvra Log Server: appends each record of its stream to a file as one
// JSON line. Copy it as the starting point of a plug-in of your own.
//
// Configuration, in LogServer.conf (one copy of the library per line, see below):
//
//   [Providers]
//   10.0.0.5|SYSLOG|syslog|=/opt/kelvra/plugins/JsonLinesPlugin.so
//
// The file is named after the stream's fields, in the folder given by the environment variable
// KELVRA_JSONL_DIR (the current directory when unset): 10.0.0.5_0_SYSLOG_syslog.jsonl for the
// line above (host, port, application, module, then the prefix when there is one; characters
// other than letters, digits, "." and "-" become "_"). Each record becomes
//
//   {"clientTime":"2024-03-07T14:05:08.997","serverTime":"2024-03-07T14:05:09.120","text":"..."}
//
// with "clientTime":null when the sender gave no time. The text is escaped as the forwarders'
// record JSON is (plugins/forward/uJsonText.h): UTF-8 stays as it is, and a byte that is not
// part of UTF-8 becomes \uDCXX, so the file is valid JSON whatever the senders write and no byte
// is lost.
//
// The library's state is global, since the interface passes no stream handle: a library file
// serves one "Providers" line. When two lines name the same file, the first stream's file gets
// the records of both, and stays open until the last of them ends.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "logging/uLogServerInterface.h"
#include "plugins/forward/uJsonText.h"

namespace {

std::mutex Lock;  // guards OutputFile and Streams
std::FILE* OutputFile = nullptr;
// Streams initialised and not yet finalised: the file stays open until the last one ends.
int Streams = 0;

std::string SafeName(const char* text) {
  std::string name(text);
  for (char& c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-';
    if (!plain) {
      c = '_';
    }
  }
  return name;
}

// An OLE Automation date (days since 30 December 1899, local time) as ISO 8601 text.
void AppendTime(std::string& out, double value) {
  if (value == 0 || !std::isfinite(value) || value < 0 || value > 3e6) {
    out += "null";
    return;
  }
  const auto total = static_cast<std::int64_t>(std::llround(value * 86'400'000.0));
  std::int64_t days = total / 86'400'000 - 25'569;  // days since 1970-01-01
  const std::int64_t ms = total % 86'400'000;
  // Civil date from a day count (H. Hinnant's algorithm).
  days += 719'468;
  const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const std::int64_t doe = days - era * 146'097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "\"%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lld\"",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(ms / 3'600'000),
                static_cast<long long>(ms / 60'000 % 60), static_cast<long long>(ms / 1000 % 60),
                static_cast<long long>(ms % 1000));
  out += text;
}

}  // namespace

extern "C" {

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Initialize(
    const char* /*baseCatalog*/, const char* peerAddress, const char* peerPort,
    const char* applicationName, const char* moduleName, const char* filePrefix) {
  std::lock_guard lock(Lock);
  ++Streams;
  if (OutputFile != nullptr) {
    return;
  }
  const char* folder = std::getenv("KELVRA_JSONL_DIR");
  std::string path = folder != nullptr && *folder != '\0' ? std::string(folder) + "/" : "";
  path += SafeName(peerAddress) + "_" + SafeName(peerPort) + "_" + SafeName(applicationName) + "_" +
          SafeName(moduleName);
  if (*filePrefix != '\0') {
    path += "_" + SafeName(filePrefix);
  }
  path += ".jsonl";
  OutputFile = std::fopen(path.c_str(), "ab");
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddMessage(double clientTime,
                                                                double serverTime,
                                                                const char* text) {
  std::string line = "{\"clientTime\":";
  AppendTime(line, clientTime);
  line += ",\"serverTime\":";
  AppendTime(line, serverTime);
  line += ",\"text\":";
  AppendJsonString(line, text);
  line += "}\n";
  std::lock_guard lock(Lock);
  if (OutputFile != nullptr) {
    std::fwrite(line.data(), 1, line.size(), OutputFile);
    std::fflush(OutputFile);
  }
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Finalize(void) {
  std::lock_guard lock(Lock);
  if (Streams > 0 && --Streams > 0) {
    return;
  }
  if (OutputFile != nullptr) {
    std::fclose(OutputFile);
    OutputFile = nullptr;
  }
}

}  // extern "C"

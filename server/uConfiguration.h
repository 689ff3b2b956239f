#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// The settings of section "Common" of LogServer.conf, with their defaults.
struct TServerSettings {
  std::uint16_t ServicePort = 30000;  // TCP port of the log records
  std::uint16_t SysLogPort = 514;     // UDP port of the syslog datagrams; never written back
  std::int32_t RunMode = 0;           // 0 process, 1 service, 2 install, 3 remove, other: process
  std::int32_t LogMode = 1;           // diagnostic log verbosity: <=0, 1, >=2
  std::string BaseCatalog;            // prefix of every log file name; default set by the reader
  bool ModuleNameAsFilePrefix = true;
  std::string TimePlacementMask = "yyyy_mm_dd";  // kept and written back, otherwise unused
  bool PluginIsolation = true;  // each plug-in library in a plug-in host process of its own
  // The directory of the forwarders' journals; default set by the reader; never written back.
  std::string ForwardJournal;
};

// The configuration file could not be written ("Unable to write to <full path>"), or must not be
// read: "Configuration file larger than 16 MiB: <full path>", "Configuration file is not a
// regular file: <full path>".
class EConfigurationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The integer syntax of the configuration file: an optional '+' or '-', then decimal digits, or
// one to eight hexadecimal digits after "$", "x", "X", "0x" or "0X", taken as a 32-bit pattern.
// False, value untouched, for anything else: empty text, trailing characters, a decimal number
// outside the 32-bit signed range, more than eight hexadecimal digits.
//   "500" => 500   "0x1F4" => 500   "$1F4" => 500   "$FFFFFFFF" => -1   "-$1" => -1
//   "2147483648" => false   "12a" => false   "$" => false   "$123456789" => false
bool ParseProfileInteger(std::string_view text, std::int32_t& value);

// The configuration file beside the executable: "/srv/kelvra/KelvraLogServer" =>
// "/srv/kelvra/LogServer.conf". Any thread.
std::string ConfigurationPath(const std::string& executablePath);

// Reads section "Common" (missing or malformed keys take their defaults, silently), then writes
// back ServicePort, RunMode, LogMode, BaseCatalog, ModuleNameAsFilePrefix, TimePlacementMask and
// PluginIsolation, in this order, creating the file when missing. executableDirectory ends with its
// separator; the default BaseCatalog is executableDirectory + "Logs" + separator, the default
// ForwardJournal executableDirectory + "ForwardJournal" + separator (only read). Throws
// EConfigurationError when the file is larger than 16 MiB or not a regular file (links are
// followed), or cannot be written. Start-up thread only.
TServerSettings ReadConfiguration(const std::string& configPath,
                                  const std::string& executableDirectory);

// Stores RunMode in section "Common" after a service installation or removal.
// Throws EConfigurationError when the file cannot be written. Start-up thread only.
void SaveRunMode(const std::string& configPath, std::int32_t runMode);

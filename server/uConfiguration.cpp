#include "server/uConfiguration.h"

#include <limits>

#include "platform/uPrivateProfile.h"
#include "platform/uProcess.h"

namespace {

constexpr const char* CommonSection = "Common";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::int32_t ReadInteger(const std::string& path, const char* key, std::int32_t defaultValue) {
  std::string text;
  std::int32_t value = defaultValue;
  if (ReadProfileString(path, CommonSection, key, text) && ParseProfileInteger(text, value)) {
    return value;
  }
  return defaultValue;
}

std::string ReadText(const std::string& path, const char* key, const std::string& defaultValue) {
  std::string text;
  return ReadProfileString(path, CommonSection, key, text) ? text : defaultValue;
}

void WriteKey(const std::string& path, const char* key, const std::string& value) {
  if (!WriteProfileString(path, CommonSection, key, value)) {
    throw EConfigurationError("Unable to write to " + path);
  }
}

// A text value as it must be written so that reading it again gives the same text: the reader
// drops blanks around a value and one pair of enclosing quotation marks, so such a value is
// enclosed in double quotation marks. Plain values are written unchanged.
std::string TextForWriting(const std::string& value) {
  if (value.empty()) {
    return value;
  }
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                      value.back() == value.front();
  if (blank(value.front()) || blank(value.back()) || quoted) {
    return '"' + value + '"';
  }
  return value;
}

std::uint16_t LowWord(std::int32_t value) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value));
}

}  // namespace

bool ParseProfileInteger(std::string_view text, std::int32_t& value) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  bool hex = false;
  if (!text.empty() && (text.front() == '$' || text.front() == 'x' || text.front() == 'X')) {
    hex = true;
    text.remove_prefix(1);
  } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    hex = true;
    text.remove_prefix(2);
  }
  if (text.empty()) {
    return false;
  }
  if (hex) {
    if (text.size() > 8) {
      return false;
    }
    std::uint32_t pattern = 0;
    for (const char c : text) {
      const int digit = HexDigit(c);
      if (digit < 0) {
        return false;
      }
      pattern = pattern << 4 | static_cast<std::uint32_t>(digit);
    }
    // The sign applies to the 32-bit pattern, with wrap-around: "-$80000000" stays the minimum.
    value = static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
    return true;
  }
  // Accumulated as a magnitude with room for the one value beyond INT32_MAX that is still valid.
  constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > limit) {
      return false;
    }
  }
  if (!negative && magnitude == limit) {
    return false;
  }
  value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

std::string ConfigurationPath(const std::string& executablePath) {
  return ExtractFileDir(executablePath) + "LogServer.conf";
}

TServerSettings ReadConfiguration(const std::string& configPath,
                                  const std::string& executableDirectory) {
  // Reading such a file could exhaust memory (a link to /dev/zero) or block (a pipe); writing
  // back would replace it. The start ends instead.
  switch (CheckProfileFile(configPath)) {
    case TProfileFileCheck::TooLarge:
      throw EConfigurationError("Configuration file larger than 16 MiB: " + configPath);
    case TProfileFileCheck::NotRegular:
      throw EConfigurationError("Configuration file is not a regular file: " + configPath);
    default:
      break;
  }
  TServerSettings settings;
  settings.ServicePort = LowWord(ReadInteger(configPath, "ServicePort", settings.ServicePort));
  settings.SysLogPort = LowWord(ReadInteger(configPath, "SysLogPort", settings.SysLogPort));
  settings.RunMode = ReadInteger(configPath, "RunMode", settings.RunMode);
  settings.LogMode = ReadInteger(configPath, "LogMode", settings.LogMode);
  settings.BaseCatalog =
      ReadText(configPath, "BaseCatalog", executableDirectory + "Logs" + PathDelimiter);
  settings.ModuleNameAsFilePrefix = ReadInteger(configPath, "ModuleNameAsFilePrefix",
                                                settings.ModuleNameAsFilePrefix ? 1 : 0) != 0;
  settings.TimePlacementMask =
      ReadText(configPath, "TimePlacementMask", settings.TimePlacementMask);
  settings.PluginIsolation =
      ReadInteger(configPath, "PluginIsolation", settings.PluginIsolation ? 1 : 0) != 0;
  settings.ForwardJournal = ReadText(configPath, "ForwardJournal",
                                     executableDirectory + "ForwardJournal" + PathDelimiter);

  // The file then shows every value in effect; SysLogPort only when the user put it there.
  WriteKey(configPath, "ServicePort", std::to_string(settings.ServicePort));
  WriteKey(configPath, "RunMode", std::to_string(settings.RunMode));
  WriteKey(configPath, "LogMode", std::to_string(settings.LogMode));
  WriteKey(configPath, "BaseCatalog", TextForWriting(settings.BaseCatalog));
  WriteKey(configPath, "ModuleNameAsFilePrefix", settings.ModuleNameAsFilePrefix ? "1" : "0");
  WriteKey(configPath, "TimePlacementMask", TextForWriting(settings.TimePlacementMask));
  WriteKey(configPath, "PluginIsolation", settings.PluginIsolation ? "1" : "0");
  return settings;
}

void SaveRunMode(const std::string& configPath, std::int32_t runMode) {
  WriteKey(configPath, "RunMode", std::to_string(runMode));
}

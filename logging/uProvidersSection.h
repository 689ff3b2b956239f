#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One line of section "Providers": Key=LibraryPath, both trimmed.
struct TProviderEntry {
  std::string Key;
  std::string LibraryPath;
};

// Every line of the first section "Providers" of the configuration file, in file order, as this
// section's reader sees the file: each line trimmed of blanks and control characters; empty lines
// and lines beginning with ';' skipped; "[Name]" opens a section (name trimmed, letter case
// ignored); lines before the first section ignored; key and path are the trimmed texts before and
// after the first '='; a line without '=' gives an empty key and an empty path. Entries whose key
// will not split are returned too (SplitProviderKey sorts them out). A missing or unreadable file
// gives no entries. Any thread.
std::vector<TProviderEntry> ReadProvidersSection(const std::string& configPath);

// The first section "Forward", read the same way: each entry is Name=LibraryPath. Any thread.
std::vector<TProviderEntry> ReadForwardSection(const std::string& configPath);

// The four fields of a provider key "Host[:Port]|ApplicationName|ModuleName|FilePrefix".
struct TProviderKeyFields {
  std::string Host;
  std::string Port;  // "0" when the key names no port
  std::string ApplicationName;
  std::string ModuleName;
  std::string FilePrefix;
};

// Splits a provider key at '|'. Characters with codes 1 to 32 around a field are skipped; a field
// that begins with '"' runs to the matching '"' ("" inside stands for one '"') and may hold blanks
// and '|'; any other field ends at '|' or at a character with a code 1 to 32, so a blank inside it
// makes further fields; a trailing '|' adds a final empty field. Nothing unless there are exactly
// four fields. The first field is cut at its first ':' into host and port.
//   "10.0.0.5:514|SYSLOG|syslog|" => 10.0.0.5, 514, SYSLOG, syslog, ""
//   "a||c|d" => a, 0, "", c, d        "10.0.0.5|My App|m|p" => nothing (five fields)
//   "10.0.0.5|\"My App\"|m|p" => 10.0.0.5, 0, My App, m, p
// Any thread.
std::optional<TProviderKeyFields> SplitProviderKey(std::string_view key);

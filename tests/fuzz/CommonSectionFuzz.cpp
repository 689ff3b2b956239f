// The reader and the write-back of section "Common" on any configuration file. The start-up
// reads the settings and writes them back; reading the file it wrote must give the very same
// settings, a second start must leave that file byte for byte, and the write-back must not change
// which plug-in lines the "Providers" reader finds.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "logging/uProvidersSection.h"
#include "platform/uPrivateProfile.h"
#include "server/uConfiguration.h"
#include "tests/fuzz/uFuzzSupport.h"

namespace {

bool SameSettings(const TServerSettings& a, const TServerSettings& b) {
  return a.ServicePort == b.ServicePort && a.SysLogPort == b.SysLogPort && a.RunMode == b.RunMode &&
         a.LogMode == b.LogMode && a.BaseCatalog == b.BaseCatalog &&
         a.ModuleNameAsFilePrefix == b.ModuleNameAsFilePrefix &&
         a.TimePlacementMask == b.TimePlacementMask;
}

// The plug-in lines that would create a producer: those whose key splits into four fields.
std::vector<std::string> PluginLines(const std::string& path) {
  std::vector<std::string> lines;
  for (const TProviderEntry& entry : ReadProvidersSection(path)) {
    if (SplitProviderKey(entry.Key)) {
      lines.push_back(entry.Key + "=" + entry.LibraryPath);
    }
  }
  return lines;
}

bool HasLoneCarriageReturn(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) {
      return true;
    }
  }
  return false;
}

// Whether the profile reader ends a line at a lone CR, as the "Providers" reader does. Until it
// does, a value may hold a CR that cannot be written back, and a CR-separated "Providers" line
// may be swallowed by a "Common" value; files with a lone CR are then left out, so the checks
// below hold the rest of the syntax to account.
bool ProfileReaderEndsLinesAtCR(const TFuzzDirectory& directory) {
  const auto probe = directory.Path() / "cr-probe.conf";
  WriteFuzzFile(probe, "[Common]\rServicePort=1\r");
  std::string value;
  return ReadProfileString(probe.string(), "Common", "ServicePort", value) && value == "1";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One directory for the whole run (see TFuzzDirectory).
  static const TFuzzDirectory directory("common");
  static const bool crEndsLines = ProfileReaderEndsLinesAtCR(directory);
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  if (!crEndsLines && HasLoneCarriageReturn(content)) {
    return 0;
  }
  const std::string path = (directory.Path() / "LogServer.conf").string();
  WriteFuzzFile(path, content);
  const std::vector<std::string> pluginsBefore = PluginLines(path);

  TServerSettings first;
  TServerSettings second;
  std::string written;
  try {
    first = ReadConfiguration(path, directory.Dir());
    written = ReadFuzzFile(path);
    second = ReadConfiguration(path, directory.Dir());
  } catch (const EConfigurationError& error) {
    // The directory is writable: every value read must be one that can be written back.
    FuzzCheck(false, error.what());
  }
  FuzzCheck(SameSettings(first, second), "the settings written back read back the same");
  FuzzCheck(ReadFuzzFile(path) == written, "a second start leaves the file as it is");
  FuzzCheck(PluginLines(path) == pluginsBefore,
            "writing \"Common\" back keeps the \"Providers\" lines");
  return 0;
}

// The "Providers" reader and the key splitter on any file and any key. Every entry comes out
// trimmed and without line breaks, its key cut before the first "="; a key that splits gives four
// fields that, written back quoted, split to the same four fields again.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "logging/uProvidersSection.h"
#include "tests/fuzz/uFuzzSupport.h"

namespace {

bool IsSpaceOrControl(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

bool IsTrimmed(std::string_view text) {
  return text.empty() || (!IsSpaceOrControl(text.front()) && !IsSpaceOrControl(text.back()));
}

// A field as a quoted field of a key: "" inside stands for one ".
std::string Quoted(std::string_view field) {
  std::string out = "\"";
  for (const char c : field) {
    out.push_back(c);
    if (c == '"') {
      out.push_back('"');
    }
  }
  out.push_back('"');
  return out;
}

bool SameFields(const TProviderKeyFields& a, const TProviderKeyFields& b) {
  return a.Host == b.Host && a.Port == b.Port && a.ApplicationName == b.ApplicationName &&
         a.ModuleName == b.ModuleName && a.FilePrefix == b.FilePrefix;
}

void CheckSplit(std::string_view key) {
  const std::optional<TProviderKeyFields> fields = SplitProviderKey(key);
  if (!fields) {
    return;
  }
  FuzzCheck(fields->Host.find(':') == std::string::npos, "the host is cut at the first ':'");
  const std::string rebuilt = Quoted(fields->Host + ":" + fields->Port) + "|" +
                              Quoted(fields->ApplicationName) + "|" + Quoted(fields->ModuleName) +
                              "|" + Quoted(fields->FilePrefix);
  const std::optional<TProviderKeyFields> again = SplitProviderKey(rebuilt);
  FuzzCheck(again.has_value() && SameFields(*again, *fields),
            "four fields written back quoted split to the same fields");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One directory for the whole run (see TFuzzDirectory).
  static const TFuzzDirectory directory("providers");
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  CheckSplit(content);

  const auto path = directory.Path() / "LogServer.conf";
  WriteFuzzFile(path, content);
  for (const TProviderEntry& entry : ReadProvidersSection(path.string())) {
    FuzzCheck(IsTrimmed(entry.Key) && IsTrimmed(entry.LibraryPath), "entries are trimmed");
    FuzzCheck(entry.Key.find_first_of("\r\n=") == std::string::npos,
              "a key holds no line break and no '='");
    FuzzCheck(entry.LibraryPath.find_first_of("\r\n") == std::string::npos,
              "a library path holds no line break");
    CheckSplit(entry.Key);
  }
  return 0;
}

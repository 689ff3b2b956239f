#include "plugins/forward/uForwardSettings.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include "platform/uModulePath.h"
#include "platform/uPrivateProfile.h"

namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower;
}

// An unsigned number, optionally with a K, M or G suffix (powers of 1024) when sized.
bool ParseUnsigned(std::string_view text, std::uint64_t low, std::uint64_t high, bool sized,
                   std::uint64_t& value, std::string& reason) {
  std::uint64_t scale = 1;
  if (sized && !text.empty()) {
    const char unit = static_cast<char>(text.back() & ~0x20);
    scale = unit == 'K' ? 1ull << 10 : unit == 'M' ? 1ull << 20 : unit == 'G' ? 1ull << 30 : 1;
    if (scale != 1) {
      text = Trim(text.substr(0, text.size() - 1));
    }
  }
  std::uint64_t number = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || result.ec == std::errc::invalid_argument ||
      result.ptr != text.data() + text.size()) {
    reason = std::string("is not a number") + (sized ? " (bytes, or with K, M or G)" : "");
    return false;
  }
  if (result.ec == std::errc::result_out_of_range ||
      number > std::numeric_limits<std::uint64_t>::max() / scale || number * scale < low ||
      number * scale > high) {
    reason = "is not between " + std::to_string(low) + " and " + std::to_string(high);
    return false;
  }
  value = number * scale;
  return true;
}

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> items;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view item = Trim(text.substr(0, comma));
    items.emplace_back(item);
    if (comma == std::string_view::npos) {
      break;
    }
    text.remove_prefix(comma + 1);
  }
  return items;
}

class TSettingsParser {
 public:
  TSettingsParser(const std::string& path, TForwarderKind kind) : FPath(path), FKind(kind) {
    TForwardSettings& s = FResult.Settings;
    s.Template =
        TSubjectTemplate(kind == TForwarderKind::Nats ? TSubjectRules::Nats : TSubjectRules::Kafka);
    const std::string_view suffix = ".conf";
    s.Spool.Directory = path;
    if (s.Spool.Directory.size() > suffix.size() &&
        Lower(
            std::string_view(s.Spool.Directory).substr(s.Spool.Directory.size() - suffix.size())) ==
            suffix) {
      s.Spool.Directory.resize(s.Spool.Directory.size() - suffix.size());
    }
    s.Spool.Directory += ".spool";
  }

  void Line(std::size_t number, std::string_view line) {
    FLine = number;
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') {
      return;
    }
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close == std::string_view::npos) {
        Error("a section line without ']'");
        FSection = Section::Unknown;
        return;
      }
      const std::string name = Lower(Trim(line.substr(1, close - 1)));
      FSection = name == "forwarder"                                 ? Section::Forwarder
                 : name == "spool"                                   ? Section::Spool
                 : name == "stream" && FKind == TForwarderKind::Nats ? Section::Stream
                 : name == "kafka" && FKind == TForwarderKind::Kafka ? Section::Kafka
                                                                     : Section::Unknown;
      if (FSection == Section::Unknown) {
        Error("unknown section [" + std::string(Trim(line.substr(1, close - 1))) + "]");
      }
      return;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      Error("a line that is neither a section nor Key=Value");
      return;
    }
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    switch (FSection) {
      case Section::None:
        Error("Key=Value before the first section");
        break;
      case Section::Unknown:
        break;  // the section itself was reported
      case Section::Forwarder:
        Forwarder(key, value);
        break;
      case Section::Spool:
        Spool(key, value);
        break;
      case Section::Stream:
        Stream(key, value);
        break;
      case Section::Kafka:
        if (key.empty()) {
          Error("a property without a name");
        } else {
          FResult.Settings.EngineProperties.emplace_back(key, value);
        }
        break;
    }
  }

  TForwardSettingsResult Finish() {
    FLine = 0;
    if (FResult.Settings.Servers.empty()) {
      Error("Servers is missing in [Forwarder]");
    }
    if (!FErrors.empty()) {
      FResult.Error = "Forwarder settings " + FPath + ": " + FErrors.front();
      if (FErrors.size() > 1) {
        FResult.Error += " (and " + std::to_string(FErrors.size() - 1) + " more error" +
                         (FErrors.size() > 2 ? "s)" : ")");
      }
    }
    return std::move(FResult);
  }

  void Error(const std::string& text) {
    FErrors.push_back(FLine > 0 ? "line " + std::to_string(FLine) + ": " + text : text);
  }

 private:
  enum class Section { None, Unknown, Forwarder, Spool, Stream, Kafka };

  void KeyError(std::string_view key, std::string_view value, const std::string& reason) {
    Error(std::string(key) + ": \"" + std::string(value) + "\" " + reason);
  }

  template <typename T>
  void Number(std::string_view key, std::string_view value, std::uint64_t low, std::uint64_t high,
              bool sized, T& target) {
    std::uint64_t number = 0;
    std::string reason;
    if (ParseUnsigned(value, low, high, sized, number, reason)) {
      target = static_cast<T>(number);
    } else {
      KeyError(key, value, reason);
    }
  }

  void Forwarder(std::string_view key, std::string_view value) {
    TForwardSettings& s = FResult.Settings;
    const std::string name = Lower(key);
    if (name == "servers") {
      std::vector<std::string> servers = SplitList(value);
      for (const std::string& server : servers) {
        if (server.empty() || server.find_first_of(" \t") != std::string::npos) {
          KeyError(key, value, "holds an empty or blank server entry");
          return;
        }
      }
      s.Servers = std::move(servers);
    } else if (name == "template") {
      std::string reason;
      if (!s.Template.Compile(value, reason)) {
        Error("Template: " + reason);
      }
    } else if (name == "flushtimeoutms") {
      Number(key, value, 0, 3'600'000, false, s.FlushTimeoutMs);
    } else if (name == "maxoutstandingacks") {
      Number(key, value, 1, 1'000'000, false, s.MaxOutstandingAcks);
    } else {
      Error("unknown key " + std::string(key) + " in [Forwarder]");
    }
  }

  void Spool(std::string_view key, std::string_view value) {
    TForwardSpoolSettings& s = FResult.Settings.Spool;
    const std::string name = Lower(key);
    constexpr std::uint64_t Terabyte = 1ull << 40;
    if (name == "directory") {
      if (value.empty()) {
        KeyError(key, value, "is empty");
      } else {
        s.Directory = value;
      }
    } else if (name == "memorylimit") {
      Number(key, value, 1 << 16, Terabyte, true, s.MemoryLimitBytes);
    } else if (name == "disklimit") {
      Number(key, value, 1 << 16, 64 * Terabyte, true, s.DiskLimitBytes);
    } else if (name == "whenfull") {
      const std::string policy = Lower(value);
      if (policy == "dropoldest") {
        s.WhenFull = TSpoolFullPolicy::DropOldest;
      } else if (policy == "dropnewest") {
        s.WhenFull = TSpoolFullPolicy::DropNewest;
      } else {
        KeyError(key, value, "is neither DropOldest nor DropNewest");
      }
    } else {
      Error("unknown key " + std::string(key) + " in [Spool]");
    }
  }

  void Stream(std::string_view key, std::string_view value) {
    TForwardStreamSettings& s = FResult.Settings.Stream;
    const std::string name = Lower(key);
    if (name == "name") {
      // JetStream stream names: no blank, '.', '*', '>', path separators or control characters.
      bool good = !value.empty() && value.size() <= 255;
      for (const char c : value) {
        good = good && static_cast<unsigned char>(c) > 0x20 && c != '.' && c != '*' && c != '>' &&
               c != '/' && c != '\\' && c != 0x7F;
      }
      if (good) {
        s.Name = value;
      } else {
        KeyError(key, value, "is not a stream name (no blank, '.', '*', '>', '/' or '\\')");
      }
    } else if (name == "subjects") {
      std::vector<std::string> subjects = SplitList(value);
      for (const std::string& subject : subjects) {
        if (subject.empty() || subject.front() == '.' || subject.back() == '.' ||
            subject.find("..") != std::string::npos ||
            subject.find_first_of(" \t") != std::string::npos) {
          KeyError(key, value, "holds an empty or malformed subject");
          return;
        }
      }
      s.Subjects = std::move(subjects);
    } else if (name == "replicas") {
      Number(key, value, 1, 5, false, s.Replicas);
    } else if (name == "retention") {
      const std::string retention = Lower(value);
      if (retention == "limits" || retention == "interest" || retention == "workqueue") {
        s.Retention = retention;
      } else {
        KeyError(key, value, "is none of limits, interest, workqueue");
      }
    } else if (name == "storage") {
      const std::string storage = Lower(value);
      if (storage == "file" || storage == "memory") {
        s.Storage = storage;
      } else {
        KeyError(key, value, "is neither file nor memory");
      }
    } else if (name == "duplicatewindowms") {
      Number(key, value, 1000, 7ull * 24 * 3'600'000, false, s.DuplicateWindowMs);
    } else if (name == "maxagems") {
      Number(key, value, 0, std::numeric_limits<std::uint64_t>::max() / 1'000'000, false,
             s.MaxAgeMs);
    } else if (name == "maxbytes") {
      Number(key, value, 0, std::numeric_limits<std::int64_t>::max(), true, s.MaxBytes);
    } else {
      Error("unknown key " + std::string(key) + " in [Stream]");
    }
  }

  std::string FPath;
  TForwarderKind FKind;
  TForwardSettingsResult FResult;
  std::vector<std::string> FErrors;
  Section FSection = Section::None;
  std::size_t FLine = 0;
};

}  // namespace

TForwardSettingsResult ParseForwardSettings(std::string_view text, const std::string& path,
                                            TForwarderKind kind) {
  TSettingsParser parser(path, kind);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    parser.Line(++number, text.substr(0, end));
    if (end == std::string_view::npos) {
      break;
    }
    text.remove_prefix(end + 1);
  }
  return parser.Finish();
}

TForwardSettingsResult ReadForwardSettings(const std::string& path, TForwarderKind kind) {
  const TProfileFileCheck check = CheckProfileFile(path);
  const char* problem = check == TProfileFileCheck::Missing      ? "the file is missing"
                        : check == TProfileFileCheck::TooLarge   ? "the file is too large"
                        : check == TProfileFileCheck::NotRegular ? "it is not a regular file"
                        : check == TProfileFileCheck::Unreadable ? "it cannot be read"
                                                                 : nullptr;
  std::string text;
  if (problem == nullptr) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    if (!file) {
      problem = "it cannot be read";
    }
    text = content.str();
  }
  if (problem != nullptr) {
    TForwardSettingsResult result = ParseForwardSettings({}, path, kind);
    result.Error = "Forwarder settings " + path + ": " + problem;
    return result;
  }
  return ParseForwardSettings(text, path, kind);
}

std::string ForwarderSettingsPath(const void* addressInLibrary) {
  std::string path = ModulePathOf(addressInLibrary);
  if (path.empty()) {
    return path;
  }
  const std::size_t separator = path.find_last_of("/\\");
  const std::size_t dot = path.rfind('.');
  if (dot != std::string::npos && (separator == std::string::npos || dot > separator + 1)) {
    path.resize(dot);
  }
  return path + ".conf";
}

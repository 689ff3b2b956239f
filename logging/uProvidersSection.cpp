#include "logging/uProvidersSection.h"

#include <fstream>
#include <iterator>

#include "platform/uPrivateProfile.h"

namespace {

constexpr char FieldDelimiter = '|';
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";
constexpr char FieldQuote = '"';

// Blanks and control characters, as trimmed and skipped by this reader.
bool IsSpaceOrControl(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

std::string_view TrimSpaceAndControl(std::string_view text) {
  while (!text.empty() && IsSpaceOrControl(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsSpaceOrControl(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

// Lines end at LF, CR LF or a lone CR.
std::vector<std::string_view> SplitLines(std::string_view content) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t end = content.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(content.substr(start));
      break;
    }
    lines.push_back(content.substr(start, end - start));
    start = end + 1;
    if (content[end] == '\r' && start < content.size() && content[start] == '\n') {
      ++start;
    }
  }
  return lines;
}

// A quoted field from its opening mark: runs to the matching closing mark, "" inside stands for
// one mark; without a closing mark it runs to the end of the key.
std::string ExtractQuotedField(std::string_view key, std::size_t& pos) {
  std::string field;
  ++pos;
  while (pos < key.size()) {
    const char c = key[pos++];
    if (c != FieldQuote) {
      field.push_back(c);
    } else if (pos < key.size() && key[pos] == FieldQuote) {
      field.push_back(FieldQuote);
      ++pos;
    } else {
      break;
    }
  }
  return field;
}

std::vector<TProviderEntry> ReadSection(const std::string& configPath, std::string_view section) {
  std::vector<TProviderEntry> entries;
  std::string content;
  // Nothing but a regular file of bounded size is read (the start-up refuses anything else).
  if (CheckProfileFile(configPath) != TProfileFileCheck::Usable) {
    return entries;
  }
  try {
    std::ifstream file(configPath, std::ios::binary);
    if (!file) {
      return entries;
    }
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (content.size() > MaxProfileFileSize) {
      return entries;
    }
  } catch (const std::ios_base::failure&) {
    // Something that opens but cannot be read as a file, such as a directory.
    return entries;
  }

  std::string_view text = content;
  // A UTF-8 byte-order mark is read as if it were not there.
  if (text.starts_with(ByteOrderMark)) {
    text.remove_prefix(ByteOrderMark.size());
  }
  bool seenSection = false;
  bool inProviders = false;
  for (const std::string_view raw : SplitLines(text)) {
    const std::string_view line = TrimSpaceAndControl(raw);
    if (line.empty() || line.front() == ';') {
      continue;
    }
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      // Only the first section of the name counts.
      if (seenSection && inProviders) {
        break;
      }
      inProviders = SameName(TrimSpaceAndControl(line.substr(1, line.size() - 2)), section);
      seenSection = true;
      continue;
    }
    if (!inProviders) {
      continue;
    }
    TProviderEntry entry;
    if (const std::size_t eq = line.find('='); eq != std::string_view::npos) {
      entry.Key = TrimSpaceAndControl(line.substr(0, eq));
      entry.LibraryPath = TrimSpaceAndControl(line.substr(eq + 1));
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace

std::vector<TProviderEntry> ReadProvidersSection(const std::string& configPath) {
  return ReadSection(configPath, "Providers");
}

std::vector<TProviderEntry> ReadForwardSection(const std::string& configPath) {
  return ReadSection(configPath, "Forward");
}

std::optional<TProviderKeyFields> SplitProviderKey(std::string_view key) {
  // A NUL ends the key, as it would end the text in the file loader's hands.
  key = key.substr(0, key.find('\0'));
  std::vector<std::string> fields;
  std::size_t pos = 0;
  const auto skipSpace = [&] {
    while (pos < key.size() && IsSpaceOrControl(key[pos])) {
      ++pos;
    }
  };
  skipSpace();
  while (pos < key.size()) {
    if (key[pos] == FieldQuote) {
      fields.push_back(ExtractQuotedField(key, pos));
    } else {
      const std::size_t start = pos;
      while (pos < key.size() && !IsSpaceOrControl(key[pos]) && key[pos] != FieldDelimiter) {
        ++pos;
      }
      fields.emplace_back(key.substr(start, pos - start));
    }
    if (fields.size() > 4) {
      return std::nullopt;
    }
    skipSpace();
    if (pos < key.size() && key[pos] == FieldDelimiter) {
      if (pos + 1 == key.size()) {
        fields.emplace_back();
      }
      ++pos;
      skipSpace();
    }
  }
  if (fields.size() != 4) {
    return std::nullopt;
  }
  TProviderKeyFields result;
  const std::string& address = fields[0];
  if (const std::size_t colon = address.find(':'); colon != std::string::npos) {
    result.Host = address.substr(0, colon);
    result.Port = address.substr(colon + 1);
  } else {
    result.Host = address;
    result.Port = "0";
  }
  result.ApplicationName = std::move(fields[1]);
  result.ModuleName = std::move(fields[2]);
  result.FilePrefix = std::move(fields[3]);
  return result;
}

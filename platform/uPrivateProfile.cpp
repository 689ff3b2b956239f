// The private-profile reader and writer, the same on every platform: the file is read whole, the
// key located line by line, and a write builds the new content in memory and hands it to the
// platform's crash-safe file replacement (uProfileFile.h).
#include "platform/uPrivateProfile.h"

#include <string_view>
#include <vector>

#include "platform/uProfileFile.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) {
      return false;
    }
  }
  return true;
}

constexpr std::string_view ProfileByteOrderMark = "\xEF\xBB\xBF";

// One line of the file: its offset, its text without the line end, and the line end as found
// ("\n", "\r\n", "\r", or "" for a last line without one).
struct TProfileLine {
  std::size_t Offset = 0;
  std::string_view Text;
  std::string_view End;
};

std::vector<TProfileLine> SplitLines(std::string_view content) {
  std::vector<TProfileLine> lines;
  // A UTF-8 byte-order mark is no part of the first line; it stays in the file.
  std::size_t start = content.starts_with(ProfileByteOrderMark) ? ProfileByteOrderMark.size() : 0;
  while (start < content.size()) {
    const std::size_t end = content.find_first_of("\r\n", start);
    TProfileLine line;
    line.Offset = start;
    if (end == std::string_view::npos) {
      line.Text = content.substr(start);
      start = content.size();
    } else {
      // LF, CR LF or a lone CR.
      const bool crlf =
          content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n';
      const std::size_t endSize = crlf ? 2 : 1;
      line.Text = content.substr(start, end - start);
      line.End = content.substr(end, endSize);
      start = end + endSize;
    }
    lines.push_back(line);
  }
  return lines;
}

enum class TLineKind { Blank, Comment, Section, Entry, Other };

struct TLineInfo {
  TLineKind Kind = TLineKind::Blank;
  std::string_view Name;       // section or key name, trimmed
  std::size_t ValueStart = 0;  // offset in the line text just behind the '=' of an entry
};

TLineInfo ClassifyLine(std::string_view text) {
  TLineInfo info;
  const std::string_view trimmed = TrimBlanks(text);
  if (trimmed.empty()) {
    return info;
  }
  if (trimmed.front() == ';') {
    info.Kind = TLineKind::Comment;
  } else if (trimmed.front() == '[') {
    info.Kind = TLineKind::Section;
    const std::string_view inner = trimmed.substr(1);
    info.Name = TrimBlanks(inner.substr(0, inner.find(']')));
  } else if (const std::size_t eq = text.find('='); eq != std::string_view::npos) {
    info.Kind = TLineKind::Entry;
    info.Name = TrimBlanks(text.substr(0, eq));
    info.ValueStart = eq + 1;
  } else {
    info.Kind = TLineKind::Other;
  }
  return info;
}

// Where a key sits: the indexes of its section header, of its first entry and of the last line of
// the section that carries content (the header when there is nothing else); -1 when missing.
struct TKeyLocation {
  long SectionLine = -1;
  long KeyLine = -1;
  long LastContentLine = -1;
};

TKeyLocation LocateKey(const std::vector<TProfileLine>& lines, std::string_view section,
                       std::string_view key) {
  TKeyLocation where;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const TLineInfo info = ClassifyLine(lines[i].Text);
    if (where.SectionLine < 0) {
      if (info.Kind == TLineKind::Section && SameName(info.Name, section)) {
        where.SectionLine = where.LastContentLine = static_cast<long>(i);
      }
      continue;
    }
    if (info.Kind == TLineKind::Section) {
      break;
    }
    if (info.Kind == TLineKind::Entry || info.Kind == TLineKind::Other) {
      where.LastContentLine = static_cast<long>(i);
    }
    if (info.Kind == TLineKind::Entry && where.KeyLine < 0 && SameName(info.Name, key)) {
      where.KeyLine = static_cast<long>(i);
    }
  }
  return where;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

bool ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                       std::string& value) {
  std::string content;
  bool exists = false;
  if (ReadProfileFile(path, content, exists) != 0 || !exists) {
    return false;
  }
  const std::vector<TProfileLine> lines = SplitLines(content);
  const TKeyLocation where = LocateKey(lines, section, key);
  if (where.KeyLine < 0) {
    return false;
  }
  const TProfileLine& line = lines[static_cast<std::size_t>(where.KeyLine)];
  std::string_view found = TrimBlanks(line.Text.substr(ClassifyLine(line.Text).ValueStart));
  if (found.size() >= 2 && (found.front() == '"' || found.front() == '\'') &&
      found.back() == found.front()) {
    found = found.substr(1, found.size() - 2);
  }
  value.assign(found.substr(0, MaxProfileValueLength));
  return true;
}

bool WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
  if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
      HasLineBreak(value) || key.find('=') != std::string::npos ||
      section.find(']') != std::string::npos) {
    SetProfileError(ProfileInvalidArgument);
    return false;
  }
  std::string content;
  bool exists = false;
  if (const int error = ReadProfileFile(path, content, exists); error != 0) {
    SetProfileError(error);
    return false;
  }

  const std::vector<TProfileLine> lines = SplitLines(content);
  std::string_view lineEnd = "\n";
  for (const TProfileLine& line : lines) {
    if (!line.End.empty()) {
      lineEnd = line.End;
      break;
    }
  }
  const TKeyLocation where = LocateKey(lines, section, key);

  std::string updated;
  updated.reserve(content.size() + key.size() + value.size() + section.size() + 8);
  if (where.KeyLine >= 0) {
    const TProfileLine& line = lines[static_cast<std::size_t>(where.KeyLine)];
    const std::size_t valueStart = line.Offset + ClassifyLine(line.Text).ValueStart;
    updated.append(content, 0, valueStart);
    updated.append(value);
    updated.append(content, line.Offset + line.Text.size());
  } else if (where.SectionLine >= 0) {
    const TProfileLine& last = lines[static_cast<std::size_t>(where.LastContentLine)];
    const std::size_t insertAt = last.Offset + last.Text.size() + last.End.size();
    updated.append(content, 0, insertAt);
    if (last.End.empty()) {
      updated.append(lineEnd);
    }
    updated.append(key).append("=").append(value).append(lineEnd);
    updated.append(content, insertAt);
  } else {
    updated = content;
    if (!lines.empty() && lines.back().End.empty()) {
      updated.append(lineEnd);
    }
    // A blank line keeps the new section apart from the one before it.
    if (!lines.empty() && !TrimBlanks(lines.back().Text).empty()) {
      updated.append(lineEnd);
    }
    updated.append("[").append(section).append("]").append(lineEnd);
    updated.append(key).append("=").append(value).append(lineEnd);
  }

  if (exists && updated == content) {
    return true;
  }
  if (const int error = ReplaceProfileFile(path, updated, exists); error != 0) {
    SetProfileError(error);
    return false;
  }
  return true;
}

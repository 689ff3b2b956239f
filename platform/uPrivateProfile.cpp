#include "platform/uPrivateProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <vector>

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

// One line of the file: its offset, its text without the line end, and the line end as found
// ("\n", "\r\n", or "" for a last line without one).
struct TProfileLine {
  std::size_t Offset = 0;
  std::string_view Text;
  std::string_view End;
};

std::vector<TProfileLine> SplitLines(std::string_view content) {
  std::vector<TProfileLine> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t lf = content.find('\n', start);
    TProfileLine line;
    line.Offset = start;
    if (lf == std::string_view::npos) {
      line.Text = content.substr(start);
      start = content.size();
    } else {
      const bool crlf = lf > start && content[lf - 1] == '\r';
      const std::size_t textEnd = crlf ? lf - 1 : lf;
      line.Text = content.substr(start, textEnd - start);
      line.End = content.substr(textEnd, lf + 1 - textEnd);
      start = lf + 1;
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

// Reads the whole file. False with errno set when it cannot be read; ENOENT when it is missing.
bool ReadWholeFile(const std::string& path, std::string& content, mode_t* mode = nullptr) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    const int error = S_ISDIR(status.st_mode) ? EISDIR : errno;
    close(fd);
    errno = error;
    return false;
  }
  if (mode != nullptr) {
    *mode = status.st_mode & 07777;
  }
  content.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      const int error = errno;
      close(fd);
      errno = error;
      return false;
    }
    if (got == 0) {
      break;
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t put = write(fd, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

// The file a write must replace: the target of a symbolic link rather than the link itself.
std::string ResolveTarget(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) {
    return resolved;
  }
  return path;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Replaces the file by writing a complete copy beside it and renaming it over the old one.
// When the directory allows no new file but the file itself may be written, the file is rewritten
// in place instead (not crash-safe, but the only way to honour such permissions).
bool ReplaceFile(const std::string& path, std::string_view content, bool exists, mode_t mode) {
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (exists && (error == EACCES || error == EPERM)) {
      const int inPlace = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (inPlace >= 0) {
        const bool written = WriteAll(inPlace, content) && fsync(inPlace) == 0;
        const int writeError = errno;
        close(inPlace);
        errno = writeError;
        return written;
      }
    }
    errno = error;
    return false;
  }
  const bool written =
      WriteAll(fd, content) && fchmod(fd, mode) == 0 && fsync(fd) == 0 && close(fd) == 0;
  if (!written) {
    const int error = errno;
    close(fd);
    unlink(temporary.c_str());
    errno = error;
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    errno = error;
    return false;
  }
  // The rename itself reaches the disk with the directory; a failure here loses nothing written.
  const int directory = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return true;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

}  // namespace

bool ReadProfileString(const std::string& path, const std::string& section, const std::string& key,
                       std::string& value) {
  std::string content;
  if (!ReadWholeFile(path, content)) {
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
    errno = EINVAL;
    return false;
  }
  const std::string target = ResolveTarget(path);
  std::string content;
  mode_t mode = 0644;
  bool exists = ReadWholeFile(target, content, &mode);
  if (!exists) {
    if (errno != ENOENT) {
      return false;
    }
    content.clear();
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
    if (!updated.empty() && updated.back() != '\n') {
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
  return ReplaceFile(target, updated, exists, mode);
}

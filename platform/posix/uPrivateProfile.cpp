// The file primitives of the private-profile writer on POSIX: read(2) of the whole file, and the
// replacement through a temporary file beside it and rename(2), with the file's mode kept.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "platform/uPrivateProfile.h"
#include "platform/uProfileFile.h"

const int ProfileInvalidArgument = EINVAL;

namespace {

int CloseKeepingError(int fd, int error) {
  close(fd);
  return error;
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

// When the directory allows no new file but the file itself may be written, the file is rewritten
// in place instead (not crash-safe, but the only way to honour such permissions).
int RewriteInPlace(const std::string& path, std::string_view content) {
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  if (!WriteAll(fd, content) || fsync(fd) != 0) {
    return CloseKeepingError(fd, errno);
  }
  return close(fd) == 0 ? 0 : errno;
}

}  // namespace

int LastProfileError() {
  return errno;
}

void SetProfileError(int code) {
  errno = code;
}

int ReadProfileFile(const std::string& path, std::string& content, bool& exists) {
  exists = false;
  // Non-blocking, so that a named pipe cannot hold the reader; regular files ignore the flag.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return errno == ENOENT ? 0 : errno;
  }
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    return CloseKeepingError(fd, errno);
  }
  if (S_ISDIR(status.st_mode)) {
    return CloseKeepingError(fd, EISDIR);
  }
  if (!S_ISREG(status.st_mode)) {
    return CloseKeepingError(fd, EINVAL);
  }
  if (static_cast<std::uint64_t>(status.st_size) > MaxProfileFileSize) {
    return CloseKeepingError(fd, EFBIG);
  }
  content.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return CloseKeepingError(fd, errno);
    }
    if (got == 0) {
      break;
    }
    content.append(buffer, static_cast<std::size_t>(got));
    // A file that grows while it is read stops at the bound as well.
    if (content.size() > MaxProfileFileSize) {
      return CloseKeepingError(fd, EFBIG);
    }
  }
  close(fd);
  exists = true;
  return 0;
}

TProfileFileCheck CheckProfileFile(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? TProfileFileCheck::Missing
                                               : TProfileFileCheck::Unreadable;
  }
  if (!S_ISREG(status.st_mode)) {
    return TProfileFileCheck::NotRegular;
  }
  if (static_cast<std::uint64_t>(status.st_size) > MaxProfileFileSize) {
    return TProfileFileCheck::TooLarge;
  }
  return TProfileFileCheck::Usable;
}

int ReplaceProfileFile(const std::string& path, std::string_view content, bool exists) {
  const std::string target = ResolveTarget(path);
  mode_t mode = 0644;
  struct stat status {};
  if (exists && stat(target.c_str(), &status) == 0) {
    mode = status.st_mode & 07777;
  }
  std::string temporary = target + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (exists && (error == EACCES || error == EPERM)) {
      return RewriteInPlace(target, content);
    }
    return error;
  }
  int error = 0;
  if (!WriteAll(fd, content) || fchmod(fd, mode) != 0 || fsync(fd) != 0) {
    error = CloseKeepingError(fd, errno);
  } else if (close(fd) != 0) {
    error = errno;
  }
  if (error != 0) {
    unlink(temporary.c_str());
    return error;
  }
  if (rename(temporary.c_str(), target.c_str()) != 0) {
    error = errno;
    unlink(temporary.c_str());
    return error;
  }
  // The rename itself reaches the disk with the directory; a failure here loses nothing written.
  const int directory = open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return 0;
}

bool ReadPlatformProfileString(const std::string& /*path*/, const std::string& /*section*/,
                               const std::string& /*key*/, std::string& /*value*/) {
  return false;  // POSIX has no private-profile reader of its own
}

#include "platform/uLogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

const std::string_view ForbiddenFileNameCharacters;
const std::string_view DroppedTrailingFileNameCharacters;

bool IsReservedFileName(std::string_view) {
  return false;
}

bool IsOutOfDescriptorsError(int code) {
  return code == EMFILE || code == ENFILE;
}

namespace {

// Creates the directory and every missing parent. True when it exists afterwards. The deepest
// folder is tried first: a new stream's folders usually lie below ones that exist, so walking up
// only on ENOENT costs one mkdir per missing folder plus one, and no stat of each parent.
bool CreateDirectories(const std::string& directory) {
  if (directory.empty()) {
    return true;
  }
  if (mkdir(directory.c_str(), 0755) == 0) {
    return true;
  }
  if (errno == EEXIST) {
    // Another writer may have created it in the meantime; a file of that name is no folder.
    struct stat status {};
    return stat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
  }
  if (errno != ENOENT) {
    return false;
  }
  const auto cut = directory.find_last_of('/');
  if (cut == std::string::npos || cut == 0 || !CreateDirectories(directory.substr(0, cut))) {
    return false;
  }
  return mkdir(directory.c_str(), 0755) == 0 || errno == EEXIST;
}

int OpenForAppend(const std::string& path) {
  int descriptor;
  do {
    descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

}  // namespace

bool TLogFile::Open(const std::string& path) {
  Close();
  int descriptor = OpenForAppend(path);
  if (descriptor < 0 && errno == ENOENT) {
    const auto cut = path.find_last_of('/');
    if (cut != std::string::npos && cut > 0 && CreateDirectories(path.substr(0, cut))) {
      descriptor = OpenForAppend(path);
    }
  }
  if (descriptor < 0) {
    FLastError = errno;
    return false;
  }
  FHandle = descriptor;
  return true;
}

void TLogFile::Close() noexcept {
  if (FHandle != InvalidHandle) {
    close(static_cast<int>(FHandle));
    FHandle = InvalidHandle;
  }
}

bool TLogFile::Write(std::string_view bytes) {
  return WriteSome(bytes) == static_cast<std::ptrdiff_t>(bytes.size());
}

std::ptrdiff_t TLogFile::WriteSome(std::string_view bytes) {
  if (FHandle == InvalidHandle) {
    FLastError = EBADF;
    return -1;
  }
  ssize_t written;
  do {
    written = write(static_cast<int>(FHandle), bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) {
    FLastError = errno;
    return -1;
  }
  return written;
}

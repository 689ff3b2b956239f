#include "platform/uDurableFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool TDurableFile::Open(const std::string& path, bool truncate) {
  Close();
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  int descriptor;
  do {
    descriptor = open(path.c_str(), flags, 0644);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) {
    FLastError = errno;
    return false;
  }
  FHandle = descriptor;
  return true;
}

void TDurableFile::Close() noexcept {
  if (FHandle != InvalidHandle) {
    close(static_cast<int>(FHandle));
    FHandle = InvalidHandle;
  }
}

bool TDurableFile::Write(std::string_view bytes) {
  if (FHandle == InvalidHandle) {
    FLastError = EBADF;
    return false;
  }
  while (!bytes.empty()) {
    const ssize_t written = write(static_cast<int>(FHandle), bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      FLastError = errno;
      return false;
    }
    if (written == 0) {
      FLastError = ENOSPC;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool TDurableFile::Sync() {
  if (FHandle == InvalidHandle) {
    FLastError = EBADF;
    return false;
  }
  if (fsync(static_cast<int>(FHandle)) != 0) {
    FLastError = errno;
    return false;
  }
  return true;
}

bool SyncDirectory(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    return false;
  }
  const bool synced = fsync(descriptor) == 0;
  close(descriptor);
  return synced;
}

#include "platform/uDurableFile.h"

#include <windows.h>

#include <algorithm>
#include <limits>

bool TDurableFile::Open(const std::string& path, bool truncate) {
  Close();
  // FlushFileBuffers needs GENERIC_WRITE, which writes at the file pointer rather than always at
  // the end: the pointer is put at the end once, and the owner is the file's only writer. Readers
  // may share it, and deleting it is allowed while open, as on POSIX.
  HANDLE handle = CreateFileA(
      path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    FLastError = static_cast<int>(GetLastError());
    return false;
  }
  if (SetFilePointer(handle, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR) {
    FLastError = static_cast<int>(GetLastError());
    CloseHandle(handle);
    return false;
  }
  FHandle = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

void TDurableFile::Close() noexcept {
  if (FHandle != InvalidHandle) {
    CloseHandle(reinterpret_cast<HANDLE>(FHandle));
    FHandle = InvalidHandle;
  }
}

bool TDurableFile::Write(std::string_view bytes) {
  if (FHandle == InvalidHandle) {
    FLastError = ERROR_INVALID_HANDLE;
    return false;
  }
  while (!bytes.empty()) {
    const DWORD chunk =
        static_cast<DWORD>(std::min<std::size_t>(bytes.size(), std::numeric_limits<DWORD>::max()));
    DWORD written = 0;
    if (WriteFile(reinterpret_cast<HANDLE>(FHandle), bytes.data(), chunk, &written, nullptr) == 0) {
      FLastError = static_cast<int>(GetLastError());
      return false;
    }
    if (written == 0) {
      FLastError = ERROR_DISK_FULL;
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

bool TDurableFile::Sync() {
  if (FHandle == InvalidHandle) {
    FLastError = ERROR_INVALID_HANDLE;
    return false;
  }
  if (FlushFileBuffers(reinterpret_cast<HANDLE>(FHandle)) == 0) {
    FLastError = static_cast<int>(GetLastError());
    return false;
  }
  return true;
}

// NTFS keeps its directory entries in its journal; there is nothing to force.
bool SyncDirectory(const std::string&) {
  return true;
}

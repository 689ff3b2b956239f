// The file primitives of the private-profile writer on Windows: ReadFile of the whole file, and the
// replacement through a temporary file beside it and MoveFileExA with MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH. WritePrivateProfileStringA is not used: it may rewrite the whole file
// (Wine's drops blanks and blank lines), and every line but the one written must stay as it was.
#include <windows.h>

#include <cstdint>
#include <limits>
#include <string_view>

#include "platform/uPrivateProfile.h"
#include "platform/uProfileFile.h"

const int ProfileInvalidArgument = ERROR_INVALID_PARAMETER;

namespace {

// Closes a file handle on every way out.
class THandle {
 public:
  explicit THandle(HANDLE handle) : FHandle(handle) {}
  ~THandle() {
    if (Valid()) {
      CloseHandle(FHandle);
    }
  }
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return FHandle; }
  // Closes now; 0 or the error code.
  int Close() {
    const HANDLE handle = FHandle;
    FHandle = INVALID_HANDLE_VALUE;
    return CloseHandle(handle) ? 0 : static_cast<int>(GetLastError());
  }

 private:
  HANDLE FHandle;
};

int LastError() {
  return static_cast<int>(GetLastError());
}

int WriteAll(HANDLE file, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk = data.size() > std::numeric_limits<DWORD>::max() / 2
                            ? std::numeric_limits<DWORD>::max() / 2
                            : static_cast<DWORD>(data.size());
    DWORD put = 0;
    if (!WriteFile(file, data.data(), chunk, &put, nullptr)) {
      return LastError();
    }
    data.remove_prefix(put);
  }
  return 0;
}

int WriteAndFlush(HANDLE file, std::string_view content) {
  if (const int error = WriteAll(file, content); error != 0) {
    return error;
  }
  return FlushFileBuffers(file) ? 0 : LastError();
}

// When the directory allows no new file but the file itself may be written, the file is rewritten
// in place instead (not crash-safe, but the only way to honour such permissions).
int RewriteInPlace(const std::string& path, std::string_view content) {
  THandle file(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    return LastError();
  }
  if (const int error = WriteAndFlush(file.Get(), content); error != 0) {
    return error;
  }
  return file.Close();
}

// A new file beside path, named after it, the process and a counter; opened for writing.
HANDLE CreateTemporaryBeside(const std::string& path, std::string& temporary) {
  const DWORD process = GetCurrentProcessId();
  const DWORD start = GetTickCount();
  for (DWORD attempt = 0; attempt < 100; ++attempt) {
    temporary =
        path + "." + std::to_string(process) + "-" + std::to_string(start + attempt) + ".tmp";
    const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) {
      return file;
    }
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

int LastProfileError() {
  return LastError();
}

void SetProfileError(int code) {
  SetLastError(static_cast<DWORD>(code));
}

int ReadProfileFile(const std::string& path, std::string& content, bool& exists) {
  exists = false;
  // Shared for writing and deleting too, so that an editor holding the file open does not stop
  // the server from reading it.
  THandle file(CreateFileA(path.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    const int error = LastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
  }
  // A device, a pipe or a console is no configuration file.
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
    return ERROR_INVALID_PARAMETER;
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.Get(), &size) &&
      static_cast<std::uint64_t>(size.QuadPart) > MaxProfileFileSize) {
    return ERROR_FILE_TOO_LARGE;
  }
  content.clear();
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) {
      return LastError();
    }
    if (got == 0) {
      break;
    }
    content.append(buffer, got);
    // A file that grows while it is read stops at the bound as well.
    if (content.size() > MaxProfileFileSize) {
      return ERROR_FILE_TOO_LARGE;
    }
  }
  exists = true;
  return 0;
}

TProfileFileCheck CheckProfileFile(const std::string& path) {
  // A device (NUL, CONIN$, COM1..., which a reserved name opens in every folder) or a pipe has
  // attributes that may look like a file's, or none; its full name is in the \\.\ space.
  char full[MAX_PATH];
  const DWORD fullLength = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (fullLength > 4 && fullLength < sizeof full && std::string_view(full, 4) == "\\\\.\\") {
    return TProfileFileCheck::NotRegular;
  }
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? TProfileFileCheck::Missing
               : TProfileFileCheck::Unreadable;
  }
  if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return TProfileFileCheck::NotRegular;
  }
  const std::uint64_t size =
      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return size > MaxProfileFileSize ? TProfileFileCheck::TooLarge : TProfileFileCheck::Usable;
}

int ReplaceProfileFile(const std::string& path, std::string_view content, bool exists) {
  std::string temporary;
  THandle file(CreateTemporaryBeside(path, temporary));
  if (!file.Valid()) {
    const int error = LastError();
    if (exists && error == ERROR_ACCESS_DENIED) {
      return RewriteInPlace(path, content);
    }
    return error;
  }
  int error = WriteAndFlush(file.Get(), content);
  if (const int closeError = file.Close(); error == 0) {
    error = closeError;
  }
  if (error == 0 && !MoveFileExA(temporary.c_str(), path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = LastError();
  }
  if (error != 0) {
    DeleteFileA(temporary.c_str());
  }
  return error;
}

bool ReadPlatformProfileString(const std::string& path, const std::string& section,
                               const std::string& key, std::string& value) {
  // The system reader tells a missing key only by handing back the default: one that no file
  // holds.
  const std::string missing = "\x01kelvra-missing\x01";
  std::string buffer(MaxProfileValueLength + 1, '\0');
  const DWORD length =
      GetPrivateProfileStringA(section.c_str(), key.c_str(), missing.c_str(), buffer.data(),
                               static_cast<DWORD>(buffer.size()), path.c_str());
  buffer.resize(length);
  if (buffer == missing) {
    return false;
  }
  value = buffer;
  return true;
}

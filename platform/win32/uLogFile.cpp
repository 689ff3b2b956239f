#include "platform/uLogFile.h"

#include <windows.h>

#include <string>

#include "platform/uDeviceFileName.h"

const std::string_view ForbiddenFileNameCharacters = "<>:\"|?*";
const std::string_view DroppedTrailingFileNameCharacters = ". ";

bool IsReservedFileName(std::string_view part) {
  return IsWindowsDeviceName(part);
}

bool IsOutOfDescriptorsError(int code) {
  return code == ERROR_TOO_MANY_OPEN_FILES;
}

namespace {

// The last separator of a path; Windows takes both.
std::size_t LastSeparator(const std::string& path) {
  return path.find_last_of("\\/");
}

// The path as the wide-character calls take it beyond MAX_PATH (260): made absolute with '\'
// separators (GetFullPathNameW), then \\?\ put before it (\\?\UNC\ for a share). A log tree's
// names may reach 209 bytes a part, so a path of a few parts passes 260 already. A name that
// opens a device (GetFullPathNameW gives \\.\NUL) is left as it is. Names are in the process's
// ANSI code page, as the "A" calls take them.
std::wstring LongPath(const std::string& path) {
  std::wstring wide;
  if (const int length =
          MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
      length > 0) {
    wide.resize(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  }
  if (wide.empty() || wide.starts_with(L"\\\\?\\")) {
    return wide;
  }
  const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) {
    return wide;
  }
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) {
    return wide;
  }
  full.resize(length);
  if (full.starts_with(L"\\\\.\\")) {
    return full;
  }
  if (full.starts_with(L"\\\\")) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

// Creates the directory and every missing parent. True when it exists afterwards.
bool CreateDirectories(const std::string& directory) {
  if (directory.empty()) {
    return true;
  }
  const std::wstring longDirectory = LongPath(directory);
  const DWORD attributes = GetFileAttributesW(longDirectory.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  const auto cut = LastSeparator(directory);
  if (cut != std::string::npos && cut > 0 && !CreateDirectories(directory.substr(0, cut))) {
    return false;
  }
  // Another writer may have created it in the meantime.
  return CreateDirectoryW(longDirectory.c_str(), nullptr) != 0 ||
         GetLastError() == ERROR_ALREADY_EXISTS;
}

// Append data only: every write goes to the end of the file, even with other writers. Sharing
// read and write lets readers in and a second producer of the same path append too, as on POSIX.
HANDLE OpenForAppend(const std::string& path) {
  return CreateFileW(LongPath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool TLogFile::Open(const std::string& path) {
  Close();
  HANDLE handle = OpenForAppend(path);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
    const auto cut = LastSeparator(path);
    if (cut != std::string::npos && cut > 0 && CreateDirectories(path.substr(0, cut))) {
      handle = OpenForAppend(path);
    }
  }
  if (handle == INVALID_HANDLE_VALUE) {
    FLastError = static_cast<int>(GetLastError());
    return false;
  }
  FHandle = reinterpret_cast<std::intptr_t>(handle);
  return true;
}

void TLogFile::Close() noexcept {
  if (FHandle != InvalidHandle) {
    CloseHandle(reinterpret_cast<HANDLE>(FHandle));
    FHandle = InvalidHandle;
  }
}

bool TLogFile::Write(std::string_view bytes) {
  return WriteSome(bytes) == static_cast<std::ptrdiff_t>(bytes.size());
}

std::ptrdiff_t TLogFile::WriteSome(std::string_view bytes) {
  if (FHandle == InvalidHandle) {
    FLastError = ERROR_INVALID_HANDLE;
    return -1;
  }
  DWORD written = 0;
  if (WriteFile(reinterpret_cast<HANDLE>(FHandle), bytes.data(), static_cast<DWORD>(bytes.size()),
                &written, nullptr) == 0) {
    FLastError = static_cast<int>(GetLastError());
    return -1;
  }
  return static_cast<std::ptrdiff_t>(written);
}

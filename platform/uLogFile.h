#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Characters that the platform forbids in a file or directory name, besides the path separators
// and the control characters below 32: "<>:\"|?*" on Windows, none elsewhere.
extern const std::string_view ForbiddenFileNameCharacters;

// Characters that the platform drops from the end of a file or directory name: ". " on Windows
// (so "..." would become "..", the parent), none elsewhere.
extern const std::string_view DroppedTrailingFileNameCharacters;

// True for a name that the platform reserves for a device and so never opens as a file, with or
// without an extension and in any case: "CON", "nul.txt", "Com1" on Windows; none elsewhere.
bool IsReservedFileName(std::string_view part);

// True for the platform's code of an open that failed for want of descriptors or handles (the
// process's or the system's), which closing another file frees: EMFILE and ENFILE on POSIX,
// ERROR_TOO_MANY_OPEN_FILES on Windows.
bool IsOutOfDescriptorsError(int code);

// An append-only text file of the log tree. Every write goes to the file's current end, even when
// another writer (another producer, another process) appends to the same file meanwhile, and a
// write of one line is one platform call, so lines of two writers never interleave.
//
// One owner uses an object at a time; it has no lock.
class TLogFile {
 public:
  TLogFile() = default;
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;
  ~TLogFile() { Close(); }

  // Closes any open file, then opens the named one for appending, creating it, and every missing
  // directory above it, where needed. Other writers and readers may share it. False on failure;
  // LastError() then holds the platform's code.
  bool Open(const std::string& path);

  void Close() noexcept;

  bool IsOpen() const noexcept { return FHandle != InvalidHandle; }

  // Appends the bytes with one write call. False when nothing or only part was written.
  bool Write(std::string_view bytes);

  // Appends the bytes with one write call and returns how many were written: all of them, fewer
  // (the file system ran out of space part-way), or -1 when the call failed, with LastError()
  // holding the platform's code (ENOSPC, EROFS, EIO...). A closed file gives -1 with EBADF.
  std::ptrdiff_t WriteSome(std::string_view bytes);

  // The platform's error code of the last failed Open or Write.
  int LastError() const noexcept { return FLastError; }

 private:
  static constexpr std::intptr_t InvalidHandle = -1;

  std::intptr_t FHandle = InvalidHandle;  // a descriptor, or a HANDLE on Windows
  int FLastError = 0;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A file written at its end whose contents can be forced to the disk, for data that must survive
// a crash of the process, with one writer (every Write is one platform call, so it is in the
// system's hands when Write returns) and, after Sync, a crash of the machine.
//
// One owner uses an object at a time; it has no lock.
class TDurableFile {
 public:
  TDurableFile() = default;
  TDurableFile(const TDurableFile&) = delete;
  TDurableFile& operator=(const TDurableFile&) = delete;
  ~TDurableFile() { Close(); }

  // Closes any open file, then opens the named one for writing at its end, creating it when
  // missing; truncate empties it first. Readers may open it meanwhile. False on failure;
  // LastError() then holds the platform's code.
  bool Open(const std::string& path, bool truncate = false);

  void Close() noexcept;

  bool IsOpen() const noexcept { return FHandle != InvalidHandle; }

  // Appends the bytes with one write call (repeated for what a short write left). False when not
  // all of them were written.
  bool Write(std::string_view bytes);

  // Forces what was written to the disk (fsync, FlushFileBuffers). False on failure.
  bool Sync();

  // The platform's error code of the last failed call.
  int LastError() const noexcept { return FLastError; }

 private:
  static constexpr std::intptr_t InvalidHandle = -1;

  std::intptr_t FHandle = InvalidHandle;  // a descriptor, or a HANDLE on Windows
  int FLastError = 0;
};

// Forces a directory's entries (files created, removed) to the disk where the platform needs it
// (fsync of the directory on POSIX; nothing to do on Windows). False on failure.
bool SyncDirectory(const std::string& path);

#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

// Where the log file table opens and writes its files: the platform's files in the server, a
// fake that fails or cuts writes in the tests of the failure paths.
class TLogFileSystem {
 public:
  // One open log file, appended to.
  class TFile {
   public:
    virtual ~TFile() = default;
    // Appends with one write call: the bytes written (all, or fewer when the file system ran out
    // of space part-way), or -1 with error set to the platform's code.
    virtual std::ptrdiff_t WriteSome(std::string_view bytes, int& error) = 0;
  };

  virtual ~TLogFileSystem() = default;
  // Opens path for appending, creating it and its missing directories; null with error set to
  // the platform's code when that fails.
  virtual std::unique_ptr<TFile> Open(const std::string& path, int& error) = 0;
  // Whether an open failed with error for want of descriptors, so that closing another file
  // makes room for it.
  virtual bool IsOutOfDescriptors(int error) const = 0;
};

// The platform's log files (TLogFile). Any thread; each file one user at a time.
std::shared_ptr<TLogFileSystem> PlatformLogFileSystem();

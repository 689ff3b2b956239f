#pragma once

#include <cerrno>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "logging/TLogFileSystem.h"

// A file system in memory for the failure paths of the log files: a disk with a byte budget
// (writes beyond it are cut short, then fail with ENOSPC), opens and writes that fail with a
// chosen code, a limit of descriptors, and a count of open files. Single-threaded, as the log file
// table is.
class TFakeLogFileSystem final : public TLogFileSystem {
 public:
  static constexpr std::size_t Unlimited = static_cast<std::size_t>(-1);

  std::unique_ptr<TFile> Open(const std::string& path, int& error) override {
    ++Opens;
    if (OpenError != 0) {
      error = OpenError;
      return nullptr;
    }
    if (DescriptorLimit != Unlimited && static_cast<std::size_t>(OpenFiles) >= DescriptorLimit) {
      error = EMFILE;
      return nullptr;
    }
    Files[path];  // an open creates the file
    return std::make_unique<TFakeFile>(*this, path);
  }

  bool IsOutOfDescriptors(int error) const override { return error == EMFILE; }

  // The bytes a file holds ("" when missing).
  std::string Content(const std::string& path) const {
    const auto found = Files.find(path);
    return found == Files.end() ? std::string() : found->second;
  }

  std::map<std::string, std::string> Files;
  std::size_t SpaceLeft = Unlimited;  // bytes the disk still takes
  int OpenError = 0;                  // non-zero: every open fails with it
  // Opens beyond this many open files fail with EMFILE (the process's descriptors are used up).
  std::size_t DescriptorLimit = Unlimited;
  int WriteError = 0;  // non-zero: every write fails with it
  int OpenFiles = 0;
  int Opens = 0;
  int Writes = 0;  // write calls, failed ones included

 private:
  class TFakeFile final : public TFile {
   public:
    TFakeFile(TFakeLogFileSystem& owner, std::string path) : FOwner(owner), FPath(std::move(path)) {
      ++FOwner.OpenFiles;
    }
    ~TFakeFile() override { --FOwner.OpenFiles; }

    std::ptrdiff_t WriteSome(std::string_view bytes, int& error) override {
      ++FOwner.Writes;
      if (FOwner.WriteError != 0) {
        error = FOwner.WriteError;
        return -1;
      }
      if (FOwner.SpaceLeft == 0 && !bytes.empty()) {
        error = ENOSPC;
        return -1;
      }
      const std::size_t taken =
          FOwner.SpaceLeft == Unlimited ? bytes.size() : std::min(bytes.size(), FOwner.SpaceLeft);
      if (FOwner.SpaceLeft != Unlimited) {
        FOwner.SpaceLeft -= taken;
      }
      FOwner.Files[FPath].append(bytes.substr(0, taken));
      return static_cast<std::ptrdiff_t>(taken);
    }

   private:
    TFakeLogFileSystem& FOwner;
    std::string FPath;
  };
};

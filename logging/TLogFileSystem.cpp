#include "logging/TLogFileSystem.h"

#include "platform/uLogFile.h"

namespace {

class TPlatformFile final : public TLogFileSystem::TFile {
 public:
  std::ptrdiff_t WriteSome(std::string_view bytes, int& error) override {
    const std::ptrdiff_t written = File.WriteSome(bytes);
    if (written < 0) {
      error = File.LastError();
    }
    return written;
  }

  TLogFile File;
};

class TPlatformLogFileSystem final : public TLogFileSystem {
 public:
  std::unique_ptr<TFile> Open(const std::string& path, int& error) override {
    auto file = std::make_unique<TPlatformFile>();
    if (!file->File.Open(path)) {
      error = file->File.LastError();
      return nullptr;
    }
    return file;
  }

  bool IsOutOfDescriptors(int error) const override { return IsOutOfDescriptorsError(error); }
};

}  // namespace

std::shared_ptr<TLogFileSystem> PlatformLogFileSystem() {
  return std::make_shared<TPlatformLogFileSystem>();
}

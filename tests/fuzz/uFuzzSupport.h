#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>

// Helpers shared by the libFuzzer targets of this folder.

// A broken property of the code under test: printed, then the process aborts, which libFuzzer
// reports as a crash and keeps the input that caused it.
inline void FuzzCheck(bool holds, const char* property) {
  if (!holds) {
    std::fprintf(stderr, "fuzz check failed: %s\n", property);
    std::abort();
  }
}

// A private directory under the system's temporary directory (TMPDIR), removed with everything in
// it when the object ends. Fuzz targets keep one for the whole run: making a fresh one for every
// input would cost more than the code under test.
class TFuzzDirectory {
 public:
  explicit TFuzzDirectory(const std::string& name) {
    FPath = std::filesystem::temp_directory_path() /
            ("kelvra_fuzz_" + name + "_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(FPath);
  }
  ~TFuzzDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TFuzzDirectory(const TFuzzDirectory&) = delete;
  TFuzzDirectory& operator=(const TFuzzDirectory&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  // The directory with its trailing separator.
  std::string Dir() const { return FPath.string() + "/"; }

  // Removes everything inside, keeping the directory itself.
  void Empty() const {
    for (const auto& entry : std::filesystem::directory_iterator(FPath)) {
      std::filesystem::remove_all(entry.path());
    }
  }

 private:
  std::filesystem::path FPath;
};

inline void WriteFuzzFile(const std::filesystem::path& path, std::string_view content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
  FuzzCheck(static_cast<bool>(file), "the fuzz input can be written to a file");
}

inline std::string ReadFuzzFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

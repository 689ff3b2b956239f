#pragma once

// Test support for the service manager: a scratch directory in the build tree and a recording
// stand-in for systemctl. Header only, so that each test folder can use it.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kelvra_test {

// A fresh directory under the build tree, removed with everything in it at the end.
class TScratchDirectory {
 public:
  explicit TScratchDirectory(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    FPath = std::filesystem::path(KELVRA_BINARY_DIR) / "test-tmp" /
            (tag + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(FPath);
  }
  ~TScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TScratchDirectory(const TScratchDirectory&) = delete;
  TScratchDirectory& operator=(const TScratchDirectory&) = delete;

  const std::filesystem::path& Path() const { return FPath; }
  std::string File(const std::string& name) const { return (FPath / name).string(); }

 private:
  std::filesystem::path FPath;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

inline void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

// Writes an executable shell script into the directory that appends its arguments, one call per
// line, to "systemctl.log" there, runs extraLines and exits 1 when its first argument is
// failVerb (0 otherwise). Returns the script's path, for KELVRA_SYSTEMCTL.
inline std::string WriteFakeSystemctl(const TScratchDirectory& directory,
                                      const std::string& failVerb = "",
                                      const std::string& extraLines = "") {
  const std::string path = directory.File("systemctl");
  WriteWholeFile(path,
                 "#!/bin/sh\n"
                 "printf '%s\\n' \"$*\" >> '" +
                     directory.File("systemctl.log") + "'\n" + extraLines + "[ \"$1\" = '" +
                     failVerb +
                     "' ] && exit 1\n"
                     "exit 0\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add);
  return path;
}

// The calls the fake systemctl recorded, one per line.
inline std::vector<std::string> RecordedSystemctlCalls(const TScratchDirectory& directory) {
  return SplitLines(ReadWholeFile(directory.File("systemctl.log")));
}

}  // namespace kelvra_test

#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/uProcess.h"

// A fresh directory under the system's temporary directory, removed with everything in it at the
// end of the test. Named after the running test, so tests run in parallel never share one.
class TTestDirectory {
 public:
  TTestDirectory() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string("kelvra_") + info->test_suite_name() + "_" + info->name() +
                             "_" + std::to_string(std::random_device{}());
    FPath = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(FPath);
  }
  ~TTestDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(FPath, ignored);
  }
  TTestDirectory(const TTestDirectory&) = delete;
  TTestDirectory& operator=(const TTestDirectory&) = delete;

  // The directory with its trailing separator (the platform's).
  std::string Dir() const { return FPath.string() + PathDelimiter; }
  std::string File(const std::string& name) const { return (FPath / name).string(); }

 private:
  std::filesystem::path FPath;
};

// The path with each '/' replaced by the platform's separator: "Logs/a/b" => "Logs\a\b" on Windows.
inline std::string NativePath(std::string path) {
  for (char& c : path) {
    if (c == '/') {
      c = PathDelimiter;
    }
  }
  return path;
}

inline void WriteTextFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
}

inline std::string ReadTextFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The file's lines, without their ends; none when it cannot be read.
inline std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadTextFile(path));
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

inline std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
  std::size_t count = 0;
  for (const std::string& each : lines) {
    count += each == line ? 1 : 0;
  }
  return count;
}

// The lines as one text, each ended by a line feed (for failure messages).
inline std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/uDynamicLibrary.h"
#include "platform/uEnvironment.h"
#include "tests/uTestDirectory.h"

// The test's own load of the recording plug-in: the producers under test load the same library,
// so this reads what the plug-in recorded, and keeps its record alive after they release it.
//
// For producers that run the plug-in in a plug-in host (isolated), the plug-in records to a file
// instead (KELVRA_RECORDING_FILE, set here for the hosts started from now on), and Unblock
// creates the file that ends its "block".
class TRecordingPluginProbe {
 public:
  explicit TRecordingPluginProbe(const char* library = KELVRA_RECORDING_PLUGIN,
                                 bool isolated = false) {
    EXPECT_TRUE(FLibrary.Load(library));
    FRead = FLibrary.Function<ReadFunction>("Recording_Read");
    FUnblock = FLibrary.Function<VoidFunction>("Recording_Unblock");
    FLibrary.Function<VoidFunction>("Recording_Reset")();
    if (isolated) {
      FDir = std::make_unique<TTestDirectory>();
      FFile = FDir->File("recording.txt");
      SetEnvironmentValue("KELVRA_RECORDING_FILE", FFile);
    }
  }
  ~TRecordingPluginProbe() {
    Unblock();
    if (FDir) {
      SetEnvironmentValue("KELVRA_RECORDING_FILE", "");
    }
  }
  TRecordingPluginProbe(const TRecordingPluginProbe&) = delete;
  TRecordingPluginProbe& operator=(const TRecordingPluginProbe&) = delete;

  bool Isolated() const { return FDir != nullptr; }

  std::vector<std::string> Lines() const {
    std::string text;
    if (FDir) {
      text = ReadTextFile(FFile);
      // Only whole lines: the host may be writing the next one.
      text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    } else {
      // The record may grow between the two calls; then the copy is not made and is asked again.
      for (;;) {
        text.assign(FRead(nullptr, 0) + 1, '\0');
        const std::size_t length = FRead(text.data(), text.size());
        if (length < text.size()) {
          text.resize(length);
          break;
        }
      }
    }
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    return lines;
  }

  // Waits up to 10 s for at least count lines that begin with prefix; returns all lines.
  std::vector<std::string> WaitForLines(const std::string& prefix, std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      std::vector<std::string> lines = Lines();
      if (Count(lines, prefix) >= count || std::chrono::steady_clock::now() > deadline) {
        return lines;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  static std::size_t Count(const std::vector<std::string>& lines, const std::string& prefix) {
    std::size_t count = 0;
    for (const std::string& line : lines) {
      count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
  }

  void Unblock() const {
    FUnblock();
    if (FDir) {
      WriteTextFile(FFile + ".unblock", "");
    }
  }

  // The tag the plug-in records for the calling thread.
  static std::string ThreadTag() {
    return std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
  }

  // A time as the plug-in records it.
  static std::string Time(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
  }

 private:
  using ReadFunction = std::size_t (*)(char*, std::size_t);
  using VoidFunction = void (*)();

  TDynamicLibrary FLibrary;
  ReadFunction FRead = nullptr;
  VoidFunction FUnblock = nullptr;
  std::unique_ptr<TTestDirectory> FDir;  // isolated only: holds the record file
  std::string FFile;
};

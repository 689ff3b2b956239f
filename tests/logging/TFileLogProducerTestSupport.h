#pragma once

// Helpers for the file producer tests of every platform.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <utility>

#include "logging/TFileLogProducer.h"
#include "tests/uTestDirectory.h"

namespace fileproducertest {

inline TDateTime At(int year, int month, int day, int hour, int minute, int second, int ms) {
  return EncodeDateTime(year, month, day, hour, minute, second, ms);
}

// Masks with ':' as time separator, whatever the test machine's locale.
inline std::shared_ptr<const TFileLogMasks> ColonMasks() {
  return std::make_shared<const TFileLogMasks>(TFormatSettings{});
}

// A producer for the sender 10.1.2.3.
inline std::unique_ptr<TFileLogProducer> MakeProducer(
    const std::string& base, const std::string& application, const std::string& module,
    const std::string& prefix, const std::string& port = "1000",
    std::shared_ptr<const TFileLogMasks> masks = ColonMasks()) {
  return std::make_unique<TFileLogProducer>(base, "10.1.2.3", port, application, module, prefix, "",
                                            std::move(masks));
}

// The owners' sequence.
inline void Release(std::unique_ptr<TFileLogProducer>& producer) {
  producer->Stop();
  producer->WaitFor();
  producer.reset();
}

// Record fields and the file they must land in, below the address folder ('/' stands for the
// platform's separator).
struct TNameCase {
  const char* application;
  const char* module;
  const char* prefix;
  const char* path;
};

// The names of the entries directly in a directory, sorted.
inline std::set<std::string> Entries(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// For each case, in a fresh directory: one line from a producer of the case's fields lands in
// the case's file, and nothing is made beside the base catalog nor beside the one application
// folder in the address folder.
inline void ExpectEachCaseLandsInItsFile(std::span<const TNameCase> cases) {
  for (const TNameCase& c : cases) {
    SCOPED_TRACE(c.path);
    TTestDirectory dir;
    const std::string base = dir.Dir() + "base" + PathDelimiter;
    auto producer = MakeProducer(base, c.application, c.module, c.prefix);
    producer->AddMessage("line", 0, At(2024, 3, 7, 14, 0, 0, 0));
    EXPECT_TRUE(producer->IsOpen());
    Release(producer);
    const std::string address = base + "10.1.2.3";
    EXPECT_EQ(ReadTextFile(address + PathDelimiter + NativePath(c.path)), "line\r\n");
    EXPECT_EQ(Entries(dir.Dir()), std::set<std::string>{"base"});
    EXPECT_EQ(Entries(address).size(), 1u);
  }
}

}  // namespace fileproducertest

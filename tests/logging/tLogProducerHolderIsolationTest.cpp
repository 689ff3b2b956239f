#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "logging/tLogProducerHolder.h"
#include "tests/uTestDirectory.h"

namespace {

using namespace std::chrono;

// Every line of every file below root.
std::string TreeText(const std::string& root) {
  std::string text;
  if (std::filesystem::exists(root)) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) {
        text += ReadTextFile(entry.path().string());
      }
    }
  }
  return text;
}

TEST(tLogProducerHolderIsolationTest, ACrashingPluginStopsNeitherFilesNorOtherPlugins) {
  TTestDirectory dir;
  const std::string crashing = dir.File("crashing.txt");
  const std::string healthy = dir.File("healthy.txt");
  WriteTextFile(dir.File("LogServer.conf"), "[Providers]\n10.0.0.5|APP|MOD|" + crashing + "=" +
                                                KELVRA_FAULT_PLUGIN + "\n10.0.0.7|APP|MOD|" +
                                                healthy + "=" + KELVRA_FAULT_PLUGIN + "\n");
  TLogProducerHolderOptions options;
  options.PluginIsolation = true;
  options.PluginHost.Program = KELVRA_PLUGIN_HOST;
  options.PluginHost.FirstRestartDelayMs = 20;
  std::vector<std::string> loadReports;
  options.Report = [&loadReports](const std::string& line) { loadReports.push_back(line); };
  const std::string base = dir.Dir() + "logs" + PathDelimiter;
  auto holder = std::make_unique<tLogProducerHolder>(base, dir.File("LogServer.conf"), options);
  EXPECT_TRUE(loadReports.empty());
  ASSERT_EQ(holder->PluginProducerCount(), 2u);

  holder->RouteRecord("10.0.0.5", "1000", "APP", "MOD", crashing, "segv", 0);
  for (int i = 0; i < 20; ++i) {
    holder->RouteRecord("10.0.0.6", "1000", "APP", "MOD", "", "file " + std::to_string(i), 0);
    holder->RouteRecord("10.0.0.7", "1000", "APP", "MOD", healthy, "other " + std::to_string(i), 0);
  }
  holder->RouteRecord("10.0.0.5", "1000", "APP", "MOD", crashing, "after", 0);

  // The crash, the restarts and the skip reach the diagnostic log through the drop report.
  std::string report;
  const auto deadline = steady_clock::now() + seconds(10);
  while (report.find("record skipped") == std::string::npos && steady_clock::now() < deadline) {
    std::vector<std::string> lines;
    holder->TakeDropReport(lines);
    for (const std::string& line : lines) {
      report += line + "\n";
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_NE(report.find("ended: "), std::string::npos) << report;
  EXPECT_NE(report.find("record skipped (1 in all)"), std::string::npos) << report;
  EXPECT_EQ(holder->ReleaseAll(steady_clock::now() + seconds(5)), 0u);

  const std::string files = TreeText(base);
  EXPECT_NE(files.find("file 0"), std::string::npos);
  EXPECT_NE(files.find("file 19"), std::string::npos);
  const std::string other = ReadTextFile(healthy);
  EXPECT_NE(other.find("other 19\nFinalize\n"), std::string::npos) << other;
  const std::string crashed = ReadTextFile(crashing);
  EXPECT_NE(crashed.find("segv\nInitialize"), std::string::npos) << crashed;
  EXPECT_NE(crashed.find("after\nFinalize\n"), std::string::npos) << crashed;
}

}  // namespace

// The real server with PluginIsolation=1 and a plug-in that ends its process: a crash ends the
// plug-in's host only, a hanging plug-in cannot hold up the stop, and a host whose server was
// killed ends by itself.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/uChildProcess.h"
#include "tests/server/uServerUnderTest.h"

namespace {

using namespace e2e;

constexpr TDateTime ClientNoon = 45358.5;
constexpr const char* SyslogProbe = "syslog probe";

// The record texts of every log file below root, in file order (syslog lines carry no stamps).
std::vector<std::string> RecordTexts(const std::string& root) {
  static const std::regex line(R"(^(\d\d:\d\d:\d\d\.\d{3}\[\d\d:\d\d:\d\d\.\d{3}\] : )?(.*)\r$)");
  std::vector<std::string> texts;
  std::istringstream in(ReadLogTree(root));
  for (std::string each; std::getline(in, each);) {
    std::smatch match;
    texts.push_back(std::regex_match(each, match, line) ? match[2].str() : "BROKEN " + each);
  }
  return texts;
}

// A server whose one plug-in line sends application "Fault" of 127.0.0.1 to the fault plug-in,
// which records into pluginFile (the key's prefix, so the records must carry it).
class TIsolatedServer {
 public:
  explicit TIsolatedServer(const std::string& extraCommonLines = "") {
    FServer.CopyBesideServer(KELVRA_PLUGIN_HOST);
    FPluginFile = FServer.Dir() + "plugin-calls.txt";
    FServer.Configure("LogMode=1\nPluginIsolation=1\n" + extraCommonLines +
                      "[Providers]\n127.0.0.1|Fault|m|" + FPluginFile + "=" + KELVRA_FAULT_PLUGIN +
                      "\n");
  }

  TServerUnderTest& Server() { return FServer; }
  const std::string& PluginFile() const { return FPluginFile; }

  std::string PluginFrame(const std::string& text) const {
    return RecordFrame("Fault", "m", FPluginFile, text, ClientNoon);
  }

  // Waits until the plug-in's last recorded line is last.
  bool WaitForPluginLine(const std::string& last) {
    return WaitUntil([&] {
      const std::vector<std::string> lines = FileLines(FPluginFile);
      return !lines.empty() && lines.back() == last;
    });
  }

  // The process id of the first plug-in host, from its start line in the diagnostic log.
  int FirstHostId() {
    const std::regex started("plug-in host for \"[^\"]*\" started: process (\\d+)");
    int id = 0;
    WaitUntil([&] {
      const std::string log = FServer.DiagnosticLog();
      std::smatch match;
      if (std::regex_search(log, match, started)) {
        id = std::stoi(match[1]);
      }
      return id != 0;
    });
    return id;
  }

 private:
  TServerUnderTest FServer;
  std::string FPluginFile;
};

TEST(ServerPluginIsolationTest, ACrashingPluginEndsItsHostOnlyAndItsStreamGoesOn) {
  TIsolatedServer isolated;
  TServerUnderTest& server = isolated.Server();
  server.StartAndWaitForListener();
  ASSERT_TRUE(server.WaitForSyslogListener(SyslogProbe));

  TLoopbackClient pluginClient(server.TcpPort());
  TLoopbackClient fileClient(server.TcpPort());
  std::string frames;
  for (const char* text : {"m1", "m2", "segv", "m4", "m5"}) {
    frames += isolated.PluginFrame(text);
  }
  const auto start = Clock::now();
  ASSERT_TRUE(pluginClient.Send(frames));
  // Another stream to a file and syslog datagrams all through the crash and the two restarts.
  constexpr int Rounds = 30;
  constexpr int PerRound = 10;
  for (int round = 0; round < Rounds; ++round) {
    std::string batch;
    for (int i = 0; i < PerRound; ++i) {
      batch +=
          RecordFrame("Other", "m", "", "file " + std::to_string(round * PerRound + i), ClientNoon);
    }
    ASSERT_TRUE(fileClient.Send(batch));
    ASSERT_TRUE(SendDatagram(server.UdpPort(), "syslog " + std::to_string(round)));
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(isolated.WaitForPluginLine("m5")) << Joined(FileLines(isolated.PluginFile()));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("crash on the third record: the fifth reached the plug-in %lld ms after the first\n",
              static_cast<long long>(took.count()));
  ASSERT_TRUE(server.WaitForDiagnosticLine("record skipped (1 in all)")) << server.DiagnosticLog();
  ASSERT_TRUE(server.Stop());
  EXPECT_EQ(server.Process().ExitCode(), 0) << server.Output();

  // The plug-in: started three times, the poisoned record seen twice then skipped, the records
  // behind it delivered once, Finalize last.
  const std::vector<std::string> calls = FileLines(isolated.PluginFile());
  EXPECT_EQ(CountOf(calls, "Initialize||127.0.0.1|0|Fault|m"), 3u) << Joined(calls);
  EXPECT_EQ(CountOf(calls, "segv"), 2u) << Joined(calls);
  EXPECT_EQ(CountOf(calls, "m4"), 1u) << Joined(calls);
  EXPECT_EQ(CountOf(calls, "m5"), 1u) << Joined(calls);
  EXPECT_GE(CountOf(calls, "m1"), 1u) << Joined(calls);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "Finalize");

  // Every other record is in its file, in order.
  std::vector<std::string> expectedFile;
  for (int i = 0; i < Rounds * PerRound; ++i) {
    expectedFile.push_back("file " + std::to_string(i));
  }
  EXPECT_EQ(RecordTexts(server.LogRoot() + NativePath("127.0.0.1/Other")), expectedFile);
  std::vector<std::string> expectedSyslog;
  for (int round = 0; round < Rounds; ++round) {
    expectedSyslog.push_back("syslog " + std::to_string(round));
  }
  std::vector<std::string> syslog = RecordTexts(server.LogRoot() + NativePath("127.0.0.1/SYSLOG"));
  std::erase(syslog, SyslogProbe);
  EXPECT_EQ(syslog, expectedSyslog);

  // The crash with the library and how its host ended, the restarts, the skip.
  const std::string log = server.DiagnosticLog();
  const std::string library = KELVRA_FAULT_PLUGIN;
  EXPECT_NE(log.find("FAIL plug-in host for \"" + library + "\" ended: " + KELVRA_CRASH_END +
                     "; restart in 1000 ms"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("; restart in 2000 ms"), std::string::npos) << log;
  EXPECT_NE(log.find("FAIL plug-in \"" + library +
                     "\" ended twice on one record: record skipped (1 in all)"),
            std::string::npos)
      << log;
  EXPECT_EQ(std::regex_search(log, std::regex("started again: process \\d+")), true) << log;
}

// A plug-in that never returns from LogProvider_AddMessage: its host is killed at the stop
// time-out, the stop completes, and what the plug-in never got is counted.
TEST(ServerPluginIsolationTest, AHangingPluginIsKilledAtTheStopTimeOut) {
  TIsolatedServer isolated;
  TServerUnderTest& server = isolated.Server();
  server.SetEnvironment("KELVRA_STOP_TIMEOUT_MS", "1500");
  server.StartAndWaitForListener();
  TLoopbackClient client(server.TcpPort());
  std::string frames;
  for (const char* text : {"hang", "q1", "q2", "q3", "q4"}) {
    frames += isolated.PluginFrame(text);
  }
  ASSERT_TRUE(client.Send(frames));
  ASSERT_TRUE(isolated.WaitForPluginLine("hang"));

  const auto start = Clock::now();
  ASSERT_TRUE(server.Stop());
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("stop with a hanging isolated plug-in took %lld ms\n",
              static_cast<long long>(took.count()));
  EXPECT_EQ(server.Process().ExitCode(), 0) << server.Output();
  EXPECT_LT(took, 20s);
  const std::string log = server.DiagnosticLog();
  EXPECT_NE(log.find("FAIL plug-in host for \"" + std::string(KELVRA_FAULT_PLUGIN) +
                     "\" did not end in time: killed"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("STOP TIME-OUT: 5 PLUG-IN RECORDS LOST"), std::string::npos) << log;
  EXPECT_LT(log.find("did not end in time"), log.find("STOPPED LOG PRODUCER...OK")) << log;
  EXPECT_EQ(CountOf(FileLines(isolated.PluginFile()), "Finalize"), 0u);
}

// kill -9 of the server: its host sees the channel close and ends by itself, after Finalize when
// the plug-in can still take it, within the orphan time (1 s here) when it hangs.
TEST(ServerPluginIsolationTest, AHostWhoseServerWasKilledEndsByItself) {
  struct Case {
    const char* last;  // the last record sent before the kill
    bool finalized;
  };
  const Case cases[] = {{"m3", true}, {"hang", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.last);
    TIsolatedServer isolated;
    TServerUnderTest& server = isolated.Server();
    server.SetEnvironment("KELVRA_PLUGIN_HOST_ORPHAN_MS", "1000");
    server.StartAndWaitForListener();
    const int host = isolated.FirstHostId();
    ASSERT_NE(host, 0) << server.DiagnosticLog();
    ASSERT_TRUE(ProcessRunning(host));
    TLoopbackClient client(server.TcpPort());
    ASSERT_TRUE(client.Send(isolated.PluginFrame("m1") + isolated.PluginFrame("m2") +
                            isolated.PluginFrame(c.last)));
    ASSERT_TRUE(isolated.WaitForPluginLine(c.last));

    server.Process().Kill();
    ASSERT_TRUE(server.Process().WaitFor(30'000));
    const auto killed = Clock::now();
    EXPECT_TRUE(WaitUntil([&] { return !ProcessRunning(host); }, 10s));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
    std::printf("kill -9 of the server, last record \"%s\": its host ended %lld ms later\n", c.last,
                static_cast<long long>(took.count()));
    const std::vector<std::string> calls = FileLines(isolated.PluginFile());
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), c.finalized ? "Finalize" : c.last) << Joined(calls);
  }
}

}  // namespace

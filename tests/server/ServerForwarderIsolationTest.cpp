// The real server with PluginIsolation=1 and a forwarder that ends its host's process on its third
// record: the server and its files go on, the crash is logged, the host is started again, the
// records behind the poisoned one are forwarded, and the skip is counted at the stop.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/server/uServerUnderTest.h"

namespace {

using namespace e2e;

constexpr TDateTime ClientNoon = 45358.5;

TEST(ServerForwarderIsolationTest, ACrashingForwarderEndsItsHostOnlyAndForwardingGoesOn) {
  TServerUnderTest server;
  server.CopyBesideServer(KELVRA_PLUGIN_HOST);
  const std::string calls = server.Dir() + "forwarder-calls.txt";
  server.SetEnvironment("KELVRA_FAULT_FILE", calls);
  const std::string library = KELVRA_FAULT_FORWARDER;
  server.Configure("LogMode=1\nPluginIsolation=1\n[Forward]\nFault=" + library + "\n");
  server.StartAndWaitForListener();

  TLoopbackClient faultClient(server.TcpPort());
  TLoopbackClient fileClient(server.TcpPort());
  std::string frames;
  for (const char* text : {"r1", "r2", "segv", "r4", "r5"}) {
    frames += RecordFrame("Fault", "m", "", text, ClientNoon);
  }
  ASSERT_TRUE(faultClient.Send(frames));
  // Another stream all through the crash and the two restarts.
  constexpr int Rounds = 30;
  constexpr int PerRound = 10;
  for (int round = 0; round < Rounds; ++round) {
    std::string batch;
    for (int i = 0; i < PerRound; ++i) {
      batch +=
          RecordFrame("Other", "m", "", "file " + std::to_string(round * PerRound + i), ClientNoon);
    }
    ASSERT_TRUE(fileClient.Send(batch));
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(server.WaitForDiagnosticLine("record skipped (1 in all)")) << server.DiagnosticLog();
  const std::string last = "file " + std::to_string(Rounds * PerRound - 1);
  ASSERT_TRUE(WaitUntil([&] { return CountOf(FileLines(calls), last) == 1; }))
      << Joined(FileLines(calls));
  ASSERT_TRUE(server.Stop());
  EXPECT_EQ(server.Process().ExitCode(), 0) << server.Output();

  // The forwarder: started three times, the poisoned record seen twice then skipped, every other
  // record forwarded, Finalize last.
  const std::vector<std::string> forwarded = FileLines(calls);
  EXPECT_EQ(CountOf(forwarded, "Initialize"), 3u) << Joined(forwarded);
  EXPECT_EQ(CountOf(forwarded, "segv"), 2u) << Joined(forwarded);
  for (const char* text : {"r1", "r2", "r4", "r5"}) {
    EXPECT_GE(CountOf(forwarded, text), 1u) << text << "\n" << Joined(forwarded);
  }
  for (int i = 0; i < Rounds * PerRound; ++i) {
    ASSERT_GE(CountOf(forwarded, "file " + std::to_string(i)), 1u) << i;
  }
  ASSERT_FALSE(forwarded.empty());
  EXPECT_EQ(forwarded.back(), "Finalize");

  // The server's own files have every record, the poisoned one included.
  const std::string tree = ReadLogTree(server.LogRoot() + NativePath("127.0.0.1"));
  EXPECT_NE(tree.find("segv"), std::string::npos);
  EXPECT_NE(tree.find(last), std::string::npos);

  // The crash with the library and how its host ended, the restarts, the skip and its count.
  const std::string log = server.DiagnosticLog();
  const std::string host = "plug-in host of forwarder Fault \"" + library + "\"";
  EXPECT_NE(log.find("FAIL " + host + " ended: " + KELVRA_CRASH_END + "; restart in 1000 ms"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("; restart in 2000 ms"), std::string::npos) << log;
  EXPECT_NE(log.find(host + " started again: process "), std::string::npos) << log;
  EXPECT_NE(log.find("FAIL forwarder Fault \"" + library +
                     "\" ended twice on one record: record skipped (1 in all)"),
            std::string::npos)
      << log;
  const std::string offered = std::to_string(5 + Rounds * PerRound);
  const std::string delivered = std::to_string(4 + Rounds * PerRound);
  EXPECT_NE(log.find("FORWARD Fault: offered " + offered + ", delivered " + delivered +
                     ", queue full 0, lost at stop 0, skipped 1; sent "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("; journal: recovered 0, dropped 0, kept 0"), std::string::npos) << log;
}

}  // namespace

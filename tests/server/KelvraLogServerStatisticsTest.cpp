// The real server answers a statistics request (SIGUSR1 on POSIX, the statistics event on
// Windows, also sent by "KelvraLogServer --statistics <pid>") with its forwarders' counts of the
// moment in the diagnostic log, and goes on serving.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uStopSignals.h"
#include "tests/server/uServerUnderTest.h"

namespace {

using namespace e2e;

constexpr char RequestLine[] = "STATISTICS ON REQUEST: ";

// Sends records to the server over one connection and waits until they are in its files.
void SendRecords(TServerUnderTest& server, int count) {
  TLoopbackClient client(server.TcpPort());
  ASSERT_TRUE(client.Connected());
  std::string frames;
  for (int n = 0; n < count; ++n) {
    frames += RecordFrame("app", "mod", "", "record " + std::to_string(n), LocalNow());
  }
  ASSERT_TRUE(client.Send(frames));
  ASSERT_TRUE(WaitUntil([&] {
    return ReadLogTree(server.LogRoot() + NativePath("127.0.0.1"))
               .find("record " + std::to_string(count - 1)) != std::string::npos;
  }));
}

// Requests the statistics until a request's lines show want (the forwarder's thread may still be
// handing the last records to the library), each request answered before the next one is sent.
bool RequestUntil(TServerUnderTest& server, const std::string& want) {
  std::size_t answered = 0;
  return WaitUntil([&] {
    if (SendStatisticsRequest(server.Process().Id()) != 0) {
      return false;
    }
    ++answered;
    if (!WaitUntil([&] {
          std::size_t lines = 0;
          for (const std::string& message : Messages(server.DiagnosticLog())) {
            lines += message.rfind(RequestLine, 0) == 0 ? 1 : 0;
          }
          return lines >= answered;
        })) {
      return false;
    }
    return server.DiagnosticLog().find(want) != std::string::npos;
  });
}

// With the forwarder in the server's process and in a plug-in host of its own.
class KelvraLogServerStatisticsModeTest : public testing::TestWithParam<bool> {};

TEST_P(KelvraLogServerStatisticsModeTest, ARequestWritesEachForwardersCountsAndTheServerGoesOn) {
  TServerUnderTest server;
  server.CopyBesideServer(KELVRA_PLUGIN_HOST);
  server.Configure(std::string("LogMode=0\nPluginIsolation=") + (GetParam() ? "1" : "0") + "\n");
  WriteTextFile(server.ConfigPath(), ReadTextFile(server.ConfigPath()) +
                                         "[Forward]\nRec=" + KELVRA_RECORDING_FORWARDER + "\n");
  server.StartAndWaitForListener();
  SendRecords(server, 3);

  // The library's counts are its figures now, not only those of the stop.
  ASSERT_TRUE(RequestUntil(server,
                           "FORWARD Rec: offered 3, delivered 3, queue full 0, lost at stop "
                           "0; sent 3, acknowledged 3, spooled 0, dropped 0"))
      << server.DiagnosticLog();
  EXPECT_NE(server.DiagnosticLog().find("STATISTICS ON REQUEST: 1 FORWARDERS"), std::string::npos);

  // Still serving: more records, and a second request sees them.
  SendRecords(server, 5);
  ASSERT_TRUE(RequestUntil(server, "FORWARD Rec: offered 8, delivered 8"))
      << server.DiagnosticLog();
  ASSERT_TRUE(server.Process().Running());
  ASSERT_TRUE(server.Stop());
  EXPECT_EQ(server.Process().ExitCode(), 0);
  const std::vector<std::string> messages = Messages(server.DiagnosticLog());
  EXPECT_EQ(CountOf(messages, "Log Server stopped"), 1u);
  EXPECT_EQ(CountOf(messages, "Have normal TERM SIGNAL"), 1u);
}

INSTANTIATE_TEST_SUITE_P(BothModes, KelvraLogServerStatisticsModeTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& mode) {
                           return mode.param ? std::string("Isolated") : std::string("InProcess");
                         });

TEST(KelvraLogServerStatisticsTest, WithoutForwardersTheRequestSaysSo) {
  TServerUnderTest server;
  server.Configure("LogMode=0\n");
  server.StartAndWaitForListener();
  ASSERT_TRUE(RequestUntil(server, "STATISTICS ON REQUEST: 0 FORWARDERS"));
  SendRecords(server, 1);
  ASSERT_TRUE(server.Stop());
}

// The command line of the executable itself sends the request, for an administrator who has no
// kill(1) (Windows) or prefers one way on both platforms.
TEST(KelvraLogServerStatisticsTest, TheStatisticsOptionSignalsTheRunningServer) {
  TServerUnderTest server;
  server.Configure("LogMode=0\n");
  server.StartAndWaitForListener();
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
  } cases[] = {
      {{"--statistics", std::to_string(server.Process().Id())}, 0},
      {{"--statistics"}, 2},
      {{"--statistics", "12x"}, 2},
      {{"--statistics", "0"}, 2},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.arguments.size() > 1 ? item.arguments[1] : "(none)");
    TChildProcess sender(
        {KELVRA_SERVER_EXE, item.arguments, server.Dir(), {}, server.Dir() + "sender.txt"});
    ASSERT_TRUE(sender.WaitFor(30'000));
    EXPECT_EQ(sender.ExitCode(), item.exitCode) << ReadTextFile(server.Dir() + "sender.txt");
  }
  EXPECT_TRUE(server.WaitForDiagnosticLine("STATISTICS ON REQUEST: 0 FORWARDERS"));
  ASSERT_TRUE(server.Stop());
  // The sender never ran as a server: one start and one stop in the log.
  EXPECT_EQ(CountOf(Messages(server.DiagnosticLog()), "Log Server started"), 1u);
}

}  // namespace

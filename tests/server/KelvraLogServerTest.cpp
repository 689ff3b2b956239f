// The server end to end: the real executable in a directory of its own, talked to over loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

#include "server/uRecordDecoder.h"
#include "tests/server/uServerUnderTest.h"
#include "tests/uLoadSize.h"

namespace {

using namespace e2e;

TEST(KelvraLogServerTest, FirstStartWritesCommonBackAndLogsTheStart) {
  TServerUnderTest server;
  server.Configure("; kept\n");
  server.StartAndWaitForListener();
  EXPECT_EQ(
      ReadTextFile(server.ConfigPath()),
      "[Common]\nServicePort=" + std::to_string(server.TcpPort()) +
          "\nSysLogPort=" + std::to_string(server.UdpPort()) +
          "\nRunMode=0\nLogMode=1\nBaseCatalog=" + server.Dir() + NativePath("Logs/") +
          "\nModuleNameAsFilePrefix=1\nTimePlacementMask=yyyy_mm_dd\nPluginIsolation=1\n; kept\n");
  ASSERT_TRUE(server.WaitForDiagnosticLine(" : Log Server started\r\n"));
  // Hourly files in day folders under the executable's name (with its '.' quoted).
  const auto files = FilesBelow(server.DiagnosticRoot());
  ASSERT_FALSE(files.empty());
  const std::string name =
      std::regex_replace(TServerUnderTest::ProgramName(), std::regex(R"(\.)"), R"(\.)");
  for (const auto& file : files) {
    EXPECT_TRUE(std::regex_match(file.generic_string(),
                                 std::regex(".*/" + name + "/\\d{4}_\\d\\d_\\d\\d/\\d\\d\\.log")))
        << file;
  }
}

TEST(KelvraLogServerTest, TcpRecordLandsInItsStreamsHourFileWithBothStamps) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(server.TcpPort()));
  // 7 March 2024 14:05:16.800; an empty prefix takes the module name. Without a sender's time
  // the line is the bare text.
  ASSERT_TRUE(client.Send(RecordFrame("Billing", "Core", "", "first", 45358.587) +
                          RecordFrame("Billing", "Core", "web", "second", 0)));
  const std::string stream = server.LogRoot() + NativePath("127.0.0.1/Billing/Core");
  // A file exists a moment before its line is written: wait for both lines, not for the files.
  ASSERT_TRUE(WaitUntil([&] {
    const auto files = FilesBelow(stream);
    return files.size() == 2 && std::all_of(files.begin(), files.end(), [](const auto& file) {
             const std::string content = ReadTextFile(file.string());
             return content.size() >= 2 && content.compare(content.size() - 2, 2, "\r\n") == 0;
           });
  }));
  for (const auto& file : FilesBelow(stream)) {
    const std::string name = file.filename().string();
    const std::string content = ReadTextFile(file.string());
    EXPECT_TRUE(
        std::regex_match(file.parent_path().filename().string(), std::regex(R"(\d{4}_\d\d_\d\d)")));
    if (name.rfind("Core_", 0) == 0) {
      EXPECT_TRUE(std::regex_match(
          content, std::regex(R"(\d\d:\d\d:\d\d\.\d{3}\[14:05:16\.800\] : first\r\n)")))
          << content;
    } else {
      EXPECT_TRUE(std::regex_match(name, std::regex(R"(web_\d\d\.log)"))) << name;
      EXPECT_EQ(content, "second\r\n");
    }
  }
}

TEST(KelvraLogServerTest, SyslogLandsInTheSyslogStream) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  const std::string stream = server.LogRoot() + NativePath("127.0.0.1/SYSLOG/syslog");
  // Datagrams can be lost in theory even on loopback: send again until one is stored.
  ASSERT_TRUE(WaitUntil([&] {
    SendDatagram(server.UdpPort(), std::string("<13>Mar  7 host app: hi\r\n\0", 26));
    std::this_thread::sleep_for(100ms);
    // The file exists a moment before its first line is written.
    const auto files = FilesBelow(stream);
    return !files.empty() && ReadTextFile(files[0].string()).size() >= 25;
  }));
  const auto files = FilesBelow(stream);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0].filename().string(), std::regex(R"(\d\d\.log)")));
  const std::string content = ReadTextFile(files[0].string());
  EXPECT_EQ(content.substr(0, 25), "<13>Mar  7 host app: hi\r\n");
}

TEST(KelvraLogServerTest, LogModeChoosesTheConnectionAndMessageLines) {
  const struct {
    int LogMode;
    bool ClientLines;
    bool MessageLines;
  } cases[] = {{0, false, false}, {1, true, false}, {2, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("LogMode " + std::to_string(c.LogMode));
    TServerUnderTest server;
    server.Configure("LogMode=" + std::to_string(c.LogMode) + "\n");
    server.StartAndWaitForListener();
    TLoopbackClient first;
    ASSERT_TRUE(first.Connect(server.TcpPort()));
    ASSERT_TRUE(first.Send(RecordFrame("A", "M", "", "hello", 0)));
    ASSERT_TRUE(WaitUntil(
        [&] { return !FilesBelow(server.LogRoot() + NativePath("127.0.0.1/A")).empty(); }));
    first.Close();
    // The first connection's thread may see its end only after the second client's record has
    // gone through, and a disconnect not yet handled at the stop is never logged: where the line
    // is expected, wait for it.
    if (c.ClientLines) {
      ASSERT_TRUE(server.WaitForDiagnosticLine(" : CLIENT DISCONNECTED: [127.0.0.1:"));
    }
    TLoopbackClient second;
    ASSERT_TRUE(second.Connect(server.TcpPort()));
    ASSERT_TRUE(second.Send(RecordFrame("B", "M", "", "marker", 0)));
    ASSERT_TRUE(WaitUntil(
        [&] { return !FilesBelow(server.LogRoot() + NativePath("127.0.0.1/B")).empty(); }));
    ASSERT_TRUE(server.Stop());
    EXPECT_EQ(server.Process().ExitCode(), 0);

    const std::string log = server.DiagnosticLog();
    const auto has = [&](const std::string& text) { return log.find(text) != std::string::npos; };
    EXPECT_TRUE(has(" : Log Server started\r\n"));
    EXPECT_TRUE(has(" : Log Server stopped\r\n"));
    EXPECT_EQ(has(" : CLIENT CONNECTED: [127.0.0.1:"), c.ClientLines) << log;
    EXPECT_EQ(has(" : CLIENT DISCONNECTED: [127.0.0.1:"), c.ClientLines) << log;
    EXPECT_EQ(has("] \"hello\"\r\n"), c.MessageLines) << log;
    EXPECT_EQ(has(" : NEW MSG: [127.0.0.1:"), c.MessageLines) << log;
  }
}

TEST(KelvraLogServerTest, ClientsReceiveAnEmptyFrameAboutEveryThreeSeconds) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  TLoopbackClient client;
  ASSERT_TRUE(client.Connect(server.TcpPort()));
  std::string received;
  std::vector<Clock::time_point> arrivals;
  const auto deadline = Clock::now() + 40s;
  while (arrivals.size() < 3 && Clock::now() < deadline) {
    const std::size_t before = received.size();
    if (client.ReceiveAvailable(received, 1000)) {
      for (std::size_t i = before; i + 4 <= received.size(); i += 4) {
        arrivals.push_back(Clock::now());
      }
    }
  }
  ASSERT_EQ(arrivals.size(), 3u) << "probes seen: " << received.size() / 4;
  EXPECT_EQ(received, std::string("\x03\x00\x00\x04\x03\x00\x00\x04\x03\x00\x00\x04", 12));
  // Two intervals of 3 s each; delivery jitter on a busy machine cannot eat 2 s of them.
  EXPECT_GE(arrivals[2] - arrivals[0], 4s);
}

TEST(KelvraLogServerTest, TakenTcpPortIsReportedAndTheListenerRecoversOnceFree) {
  TServerUnderTest server;
  server.Configure();
  const TSocket holder = OpenTcpSocket();
  ASSERT_EQ(BindSocket(holder, 0, server.TcpPort()), 0);
  ASSERT_EQ(ListenSocket(holder, 1), 0);
  server.Start();
  const bool reported = server.WaitForDiagnosticLine(" : FAIL while create listen point [code=");
  CloseSocket(holder);
  ASSERT_TRUE(reported) << server.DiagnosticLog() << server.Output();
  EXPECT_TRUE(
      std::regex_search(server.DiagnosticLog(),
                        std::regex(R"(FAIL while create listen point \[code=[1-9]\d*\]\r\n)")));
  // Once the port is free, the next check creates a listener that serves records.
  TLoopbackClient client;
  ASSERT_TRUE(WaitUntil([&] {
    return client.Connect(server.TcpPort()) &&
           client.Send(RecordFrame("Recovered", "M", "", "back", 0));
  }));
  ASSERT_TRUE(WaitUntil(
      [&] { return !FilesBelow(server.LogRoot() + NativePath("127.0.0.1/Recovered")).empty(); }));
}

TEST(KelvraLogServerTest, UnwritableConfigurationEndsWithExitCode1AndTheMessage) {
  TServerUnderTest server;
  std::filesystem::create_directory(server.ConfigPath());
  server.Start();
  ASSERT_TRUE(server.Process().WaitFor(30'000));
  EXPECT_EQ(server.Process().ExitCode(), 1);
  EXPECT_EQ(server.Output(), "Application Error: Configuration file is not a regular file: " +
                                 server.ConfigPath() + "\n");
  EXPECT_FALSE(std::filesystem::exists(server.LogRoot()));
}

std::string LoadText(int record, int client) {
  return "record " + std::to_string(record) + " of client " + std::to_string(client) + " " +
         std::string(40, 'x');
}

// Every record of many concurrent clients arrives, whole, in its sender's order.
TEST(KelvraLogServerTest, ManyClientsLoseNothing) {
  constexpr int Clients = 20;
  constexpr int RecordsPerClient = LoadSize(5000);
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();

  std::atomic<int> failures{0};
  // The connections stay open until the lines are counted: closing one with unread probe frames
  // resets it, which would throw away what its kernel has not sent yet.
  std::vector<TLoopbackClient> clients(Clients);
  std::vector<std::thread> senders;
  for (int c = 0; c < Clients; ++c) {
    senders.emplace_back([&, c] {
      TLoopbackClient& client = clients[static_cast<std::size_t>(c)];
      if (!client.Connect(server.TcpPort())) {
        ++failures;
        return;
      }
      std::string batch;
      for (int i = 0; i < RecordsPerClient; ++i) {
        batch += RecordFrame("Load", "client" + std::to_string(c), "", LoadText(i, c), 45358.5);
        if (batch.size() > 32'000 || i + 1 == RecordsPerClient) {
          if (!client.Send(batch)) {
            ++failures;
            return;
          }
          batch.clear();
        }
      }
    });
  }
  for (auto& sender : senders) {
    sender.join();
  }
  ASSERT_EQ(failures.load(), 0);

  // What each client's file must hold after the server's stamp ("hh:nn:ss.zzz") of each line.
  std::vector<std::string> expected(Clients);
  std::uintmax_t expectedBytes = 0;
  for (int c = 0; c < Clients; ++c) {
    for (int i = 0; i < RecordsPerClient; ++i) {
      expected[c] += "[12:00:00.000] : " + LoadText(i, c) + "\r\n";
    }
    expectedBytes += 12 * RecordsPerClient + expected[c].size();
  }
  // Waiting looks at file sizes only.
  const std::string root = server.LogRoot() + NativePath("127.0.0.1/Load");
  const auto treeSize = [&] {
    std::uintmax_t bytes = 0;
    for (const auto& file : FilesBelow(root)) {
      std::error_code ignored;
      bytes += std::filesystem::file_size(file, ignored);
    }
    return bytes;
  };
  WaitUntil([&] { return treeSize() >= expectedBytes; }, 120s);
  ASSERT_EQ(treeSize(), expectedBytes);

  for (int c = 0; c < Clients; ++c) {
    const std::string content = ReadLogTree(root + NativePath("/client") + std::to_string(c));
    std::string unstamped;
    unstamped.reserve(content.size());
    for (std::size_t at = 0, end; at < content.size(); at = end + 1) {
      end = content.find('\n', at);
      ASSERT_NE(end, std::string::npos);
      ASSERT_TRUE(end - at > 12 && content[at + 2] == ':' && content[at + 8] == '.')
          << content.substr(at, end - at);
      unstamped.append(content, at + 12, end + 1 - (at + 12));
    }
    // Compared whole; on a mismatch only the first differing line is shown.
    if (unstamped != expected[c]) {
      const auto differ =
          std::mismatch(unstamped.begin(), unstamped.end(), expected[c].begin(), expected[c].end());
      const std::size_t lineStart = unstamped.rfind('\n', differ.first - unstamped.begin());
      ADD_FAILURE() << "client " << c << " differs at: "
                    << unstamped.substr(lineStart == std::string::npos ? 0 : lineStart + 1, 80);
    }
  }
}

}  // namespace

// The client library against the real server over loopback, and against stand-ins for what the
// server cannot be made to do.
#include "client/TKelvraClient.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <thread>

#include "protocol/uRecordFrame.h"
#include "tests/client/uClientTestSupport.h"
#include "tests/client/uFakePeer.h"

namespace {

using namespace e2e;

constexpr int CloseTimeoutMs = 30'000;
// For the tests that store many records: a sanitizer build of the server writes them slowly.
constexpr auto ManyLinesPatience = 180s;

std::unique_ptr<TKelvraClient> OpenClient(std::uint16_t port,
                                          const TKelvraClientOptions& options = {}) {
  TKelvraStatus status = TKelvraStatus::Ok;
  int code = 0;
  auto client = TKelvraClient::Open("127.0.0.1", port, options, status, code);
  EXPECT_TRUE(client) << KelvraStatusText(status) << " code " << code;
  return client;
}

std::string Numbered(const std::string& tag, int i) {
  return tag + " " + std::to_string(i);
}

TEST(TKelvraClientTest, RecordsLandAsExactLines) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  auto client = OpenClient(server.TcpPort());
  ASSERT_TRUE(client);
  // Without a sender's time the line is the bare text; with one, both stamps.
  ASSERT_EQ(client->Send("Billing", "Core", "web", "invoice 42 paid", 0), TKelvraStatus::Ok);
  ASSERT_EQ(client->Send("Billing", "Core", "web", "  kept as sent \t", 0), TKelvraStatus::Ok);
  ASSERT_EQ(client->Send("Billing", "Core", "stamped", "at a time", 45358.587), TKelvraStatus::Ok);
  ASSERT_EQ(client->Send("Billing", "Core", "now", "stamped now"), TKelvraStatus::Ok);
  ASSERT_EQ(client->Close(CloseTimeoutMs), TKelvraStatus::Ok);
  const TKelvraClientCounters counters = client->Counters();
  EXPECT_EQ(counters.Sent, 4u);
  EXPECT_EQ(counters.Dropped, 0u);
  EXPECT_EQ(counters.Reconnects, 0u);

  const std::string stream = server.LogRoot() + "127.0.0.1/Billing/Core";
  ASSERT_EQ(WaitForLines(stream, 4).size(), 4u);
  std::map<std::string, std::string> byPrefix;
  for (const auto& file : FilesBelow(stream)) {
    byPrefix[file.filename().string().substr(0, file.filename().string().find('_'))] =
        ReadTextFile(file.string());
  }
  EXPECT_EQ(byPrefix["web"], "invoice 42 paid\r\n  kept as sent \t\r\n");
  EXPECT_TRUE(std::regex_match(
      byPrefix["stamped"], std::regex(R"(\d\d:\d\d:\d\d\.\d{3}\[14:05:16\.800\] : at a time\r\n)")))
      << byPrefix["stamped"];
  EXPECT_TRUE(std::regex_match(
      byPrefix["now"],
      std::regex(R"(\d\d:\d\d:\d\d\.\d{3}\[\d\d:\d\d:\d\d\.\d{3}\] : stamped now\r\n)")))
      << byPrefix["now"];
}

TEST(TKelvraClientTest, LargestTextThatFitsLandsWholeAndOneByteMoreIsRefused) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  TKelvraClientOptions cutting;
  cutting.CutOversizeText = true;
  auto client = OpenClient(server.TcpPort());
  auto cutter = OpenClient(server.TcpPort(), cutting);
  ASSERT_TRUE(client && cutter);
  // "Big" + "M" + "p" leave 65486 - 5 bytes for the text.
  const std::size_t largest = MaxRecordTextBytes - 5;
  std::string text(largest, 'x');
  text.front() = '<';
  text.back() = '>';
  EXPECT_EQ(client->Send("Big", "M", "p", text, 0), TKelvraStatus::Ok);
  EXPECT_EQ(client->Send("Big", "M", "p", text + "y", 0), TKelvraStatus::RecordTooLarge);
  EXPECT_EQ(client->Send("Big", "M", "p", std::string(1 << 20, 'z'), 0),
            TKelvraStatus::RecordTooLarge);
  EXPECT_EQ(cutter->Send("Big", "M", "cut", text + "tail", 0), TKelvraStatus::Ok);
  EXPECT_EQ(cutter->Send("Big", std::string(MaxRecordTextBytes, 'm'), "cut", "t", 0),
            TKelvraStatus::RecordTooLarge);
  ASSERT_EQ(client->Close(CloseTimeoutMs), TKelvraStatus::Ok);
  ASSERT_EQ(cutter->Close(CloseTimeoutMs), TKelvraStatus::Ok);
  EXPECT_EQ(client->Counters().Sent, 1u);
  EXPECT_EQ(cutter->Counters().Cut, 1u);

  const std::string stream = server.LogRoot() + "127.0.0.1/Big/M";
  ASSERT_EQ(WaitForLines(stream, 2).size(), 2u);
  for (const auto& file : FilesBelow(stream)) {
    const std::string content = ReadTextFile(file.string());
    if (file.filename().string().rfind("p_", 0) == 0) {
      EXPECT_EQ(content, text + "\r\n");
    } else {
      // "cut" is two bytes longer than "p": the cut text ends in the mark where it must.
      const std::string expected =
          text.substr(0, largest - 2 - KelvraCutMark.size()) + std::string(KelvraCutMark);
      EXPECT_EQ(content, expected + "\r\n");
    }
  }
}

TEST(TKelvraClientTest, ServerRestartedWhileSendingEveryRecordAfterTheRestartLands) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  TKelvraClientOptions options;
  options.BufferSize = 64 * 1024;
  options.FullPolicy = TKelvraFullPolicy::Drop;
  options.ReconnectDelayMs = 20;
  options.ReconnectDelayMaxMs = 200;
  auto client = OpenClient(server.TcpPort(), options);
  ASSERT_TRUE(client);
  const std::string stream = server.LogRoot() + "127.0.0.1/R/M";
  std::uint64_t refused = 0;
  std::uint64_t calls = 0;
  const auto send = [&](const std::string& text) {
    ++calls;
    const TKelvraStatus status = client->Send("R", "M", "", text, 0);
    if (status == TKelvraStatus::BufferFull) {
      ++refused;
    } else {
      EXPECT_EQ(status, TKelvraStatus::Ok);
    }
  };
  for (int i = 0; i < 100; ++i) {
    send(Numbered("before", i));
  }
  ASSERT_EQ(client->Flush(CloseTimeoutMs), TKelvraStatus::Ok);
  ASSERT_EQ(WaitForLines(stream, 100).size(), 100u);

  ASSERT_TRUE(server.Stop());
  // While the server is away the buffer fills; what does not fit is refused and counted.
  for (int i = 0; i < 5000; ++i) {
    send(Numbered("during", i));
  }
  EXPECT_GT(refused, 0u);
  server.StartAndWaitForListener();
  ASSERT_TRUE(WaitUntil([&] { return client->Counters().Reconnects >= 1; }));
  for (int i = 0; i < 1000; ++i) {
    send(Numbered("after", i));
  }
  ASSERT_EQ(client->Close(CloseTimeoutMs), TKelvraStatus::Ok);
  const TKelvraClientCounters counters = client->Counters();
  EXPECT_EQ(counters.Dropped, refused);
  EXPECT_EQ(counters.Sent + counters.Dropped, calls);
  EXPECT_NE(counters.LastError, 0);

  // The last "after" line is the last line of all: wait for it, then check every one is there,
  // in order.
  ASSERT_TRUE(WaitUntil([&] {
    const auto lines = LinesBelow(stream);
    return !lines.empty() && lines.back() == Numbered("after", 999);
  }));
  std::vector<std::string> after;
  for (const auto& line : LinesBelow(stream)) {
    if (line.rfind("after ", 0) == 0) {
      after.push_back(line);
    }
  }
  ASSERT_EQ(after.size(), 1000u);
  for (int i = 0; i < 1000; ++i) {
    EXPECT_EQ(after[static_cast<std::size_t>(i)], Numbered("after", i));
  }
}

TEST(TKelvraClientTest, ClosedRightAfterManyRecordsLosesNone) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  auto client = OpenClient(server.TcpPort());
  ASSERT_TRUE(client);
  constexpr int Records = 100'000;
  for (int i = 0; i < Records; ++i) {
    ASSERT_EQ(client->Send("Many", "M", "", Numbered("r", i), 0), TKelvraStatus::Ok);
  }
  ASSERT_EQ(client->Close(CloseTimeoutMs), TKelvraStatus::Ok);
  EXPECT_EQ(client->Counters().Sent, static_cast<std::uint64_t>(Records));
  const auto lines =
      WaitForLines(server.LogRoot() + "127.0.0.1/Many/M", Records, ManyLinesPatience);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(Records));
  for (int i = 0; i < Records; ++i) {
    ASSERT_EQ(lines[static_cast<std::size_t>(i)], Numbered("r", i));
  }
}

TEST(TKelvraClientTest, IdleConnectedClientDrainsTheProbesAndStaysConnected) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  auto client = OpenClient(server.TcpPort());
  ASSERT_TRUE(client);
  ASSERT_EQ(client->Send("Idle", "M", "", "first", 0), TKelvraStatus::Ok);
  // Three probe frames arrive meanwhile.
  std::this_thread::sleep_for(10s);
  ASSERT_EQ(client->Send("Idle", "M", "", "after ten seconds", 0), TKelvraStatus::Ok);
  ASSERT_EQ(client->Flush(5000), TKelvraStatus::Ok);
  ASSERT_EQ(client->Close(5000), TKelvraStatus::Ok);
  const TKelvraClientCounters counters = client->Counters();
  EXPECT_EQ(counters.Reconnects, 0u);
  EXPECT_EQ(counters.LastError, 0);
  EXPECT_EQ(WaitForLines(server.LogRoot() + "127.0.0.1/Idle/M", 2),
            (std::vector<std::string>{"first", "after ten seconds"}));
}

TEST(TKelvraClientTest, ManyThreadsThroughOneClientKeepEachThreadsOrder) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  TKelvraClientOptions options;
  options.BufferSize = 256 * 1024;  // small, so senders also wait for room
  auto client = OpenClient(server.TcpPort(), options);
  ASSERT_TRUE(client);
  constexpr int Threads = 8;
  constexpr int PerThread = 5000;
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < Threads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < PerThread; ++i) {
        if (client->Send("Threads", "M", "", "t" + std::to_string(t) + " " + std::to_string(i),
                         0) != TKelvraStatus::Ok) {
          ++failures;
        }
      }
    });
  }
  for (auto& sender : senders) {
    sender.join();
  }
  ASSERT_EQ(failures, 0);
  ASSERT_EQ(client->Close(CloseTimeoutMs), TKelvraStatus::Ok);
  const auto lines = WaitForLines(server.LogRoot() + "127.0.0.1/Threads/M", Threads * PerThread,
                                  ManyLinesPatience);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(Threads * PerThread));
  std::vector<int> next(Threads, 0);
  for (const auto& line : lines) {
    const int t = std::stoi(line.substr(1, line.find(' ') - 1));
    const int i = std::stoi(line.substr(line.find(' ') + 1));
    ASSERT_EQ(i, next[static_cast<std::size_t>(t)]) << line;
    ++next[static_cast<std::size_t>(t)];
  }
}

TEST(TKelvraClientTest, OpenReportsAnUnresolvableHostAndARefusedConnectionWithTheirCodes) {
  TKelvraStatus status = TKelvraStatus::Ok;
  int code = 0;
  EXPECT_FALSE(TKelvraClient::Open("no-such-host.invalid", 30000, {}, status, code));
  EXPECT_EQ(status, TKelvraStatus::HostNotFound);
  EXPECT_NE(code, 0);
  EXPECT_FALSE(HostLookupErrorText(code).empty());

  EXPECT_FALSE(TKelvraClient::Open("127.0.0.1", FreePort(false), {}, status, code));
  EXPECT_EQ(status, TKelvraStatus::ConnectFailed);
  EXPECT_NE(code, 0);
  EXPECT_NE(SocketErrorText(code), "");

  TKelvraClientOptions bad;
  bad.ConnectTimeoutMs = -1;
  EXPECT_FALSE(TKelvraClient::Open("127.0.0.1", 1, bad, status, code));
  EXPECT_EQ(status, TKelvraStatus::InvalidArgument);
}

TEST(TKelvraClientTest, FullBufferUnderTheDropPolicyCountsEveryRecordNotSent) {
  TFakePeer peer(TFakePeer::TMode::Stall);
  TKelvraClientOptions options;
  options.BufferSize = 1 << 20;
  options.FullPolicy = TKelvraFullPolicy::Drop;
  auto client = OpenClient(peer.Port(), options);
  ASSERT_TRUE(client);
  // Rounds of far more than the buffer holds, until the socket buffers are full as well (the
  // writer makes no progress for 200 ms), then one more round: records stay in the buffer.
  std::uint64_t calls = 0;
  std::uint64_t refused = 0;
  const std::string text(1000, 'd');
  const auto round = [&] {
    for (int i = 0; i < 2000; ++i) {
      ++calls;
      const TKelvraStatus status = client->Send("D", "M", "", text, 0);
      if (status == TKelvraStatus::BufferFull) {
        ++refused;
      } else {
        ASSERT_EQ(status, TKelvraStatus::Ok);
      }
    }
  };
  const auto deadline = Clock::now() + Patience;
  for (bool stuck = false; !stuck && Clock::now() < deadline;) {
    round();
    const std::uint64_t sentBefore = client->Counters().Sent;
    stuck = client->Flush(200) == TKelvraStatus::TimedOut && client->Counters().Sent == sentBefore;
  }
  round();
  EXPECT_GT(refused, 0u);
  EXPECT_EQ(client->Counters().Dropped, refused);
  EXPECT_EQ(client->Flush(100), TKelvraStatus::TimedOut);
  // The peer never reads nor closes: Close gives up, and the unsent records count as dropped.
  EXPECT_EQ(client->Close(300), TKelvraStatus::TimedOut);
  const TKelvraClientCounters counters = client->Counters();
  EXPECT_GT(counters.Dropped, refused);
  EXPECT_EQ(counters.Sent + counters.Dropped, calls);
  EXPECT_EQ(client->Send("D", "M", "", "late", 0), TKelvraStatus::Closed);
  EXPECT_EQ(client->Close(0), TKelvraStatus::Closed);
}

TEST(TKelvraClientTest, ProbeFloodIsReadWhileTheClientIsConnected) {
  // Far more than the socket buffers hold: the peer's writes finish only when the client reads.
  constexpr std::size_t Flood = 32u << 20;
  TFakePeer peer(TFakePeer::TMode::ProbeFlood, Flood);
  auto client = OpenClient(peer.Port());
  ASSERT_TRUE(client);
  EXPECT_TRUE(WaitUntil([&] { return peer.FloodWritten() >= Flood; }));
  ASSERT_EQ(client->Send("P", "M", "", "after the flood", 0), TKelvraStatus::Ok);
  ASSERT_EQ(client->Close(CloseTimeoutMs), TKelvraStatus::Ok);
  EXPECT_EQ(peer.ClosedByClient(), 1);
  std::string frame;
  AppendRecordFrame(frame, "P", "M", "", "after the flood", 0);
  EXPECT_EQ(peer.Received().at(0), frame);
}

TEST(TKelvraClientTest, BrokenConnectionResendsTheCutFrameWholeAndNoWrittenFrameTwice) {
  // The first connection breaks after 100,003 bytes: inside a frame.
  TFakePeer peer(TFakePeer::TMode::BreakFirst, 100'003);
  TKelvraClientOptions options;
  options.ReconnectDelayMs = 10;
  auto client = OpenClient(peer.Port(), options);
  ASSERT_TRUE(client);
  // 20 MB, more than the loopback socket buffers hold: the break always comes while records are
  // still waiting, so the second connection has to carry them.
  constexpr int Records = 20'000;
  const std::string padding(1000, '.');
  for (int i = 0; i < Records; ++i) {
    ASSERT_EQ(client->Send("B", "M", "", Numbered("b", i) + padding, 0), TKelvraStatus::Ok);
  }
  ASSERT_EQ(client->Close(CloseTimeoutMs), TKelvraStatus::Ok);
  EXPECT_EQ(client->Counters().Reconnects, 1u);
  const auto received = peer.Received();
  ASSERT_EQ(received.size(), 2u);
  ASSERT_EQ(received[0].size(), 100'003u);

  // The texts of the whole frames of one connection; the rest (a cut frame) in rest.
  const auto texts = [](const std::string& stream, std::string& rest) {
    std::vector<int> numbers;
    std::size_t at = 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream.data());
    while (at + 4 <= stream.size() && at + TPKTDeclaredLength(bytes + at) <= stream.size()) {
      const std::size_t length = TPKTDeclaredLength(bytes + at);
      tLogRecord record;
      EXPECT_TRUE(DecodeLogRecord(bytes + at + 4, static_cast<std::uint32_t>(length - 4), record));
      numbers.push_back(std::stoi(record.Text.substr(2)));
      at += length;
    }
    rest = stream.substr(at);
    return numbers;
  };
  std::string cut;
  std::string none;
  const std::vector<int> first = texts(received[0], cut);
  const std::vector<int> second = texts(received[1], none);
  EXPECT_FALSE(cut.empty());
  EXPECT_TRUE(none.empty());
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  // Records written whole to the broken connection are never repeated (those the peer had not
  // read are lost with it); the second connection starts with a whole frame and then has every
  // record to the end, in order.
  EXPECT_GT(second.front(), first.back());
  for (std::size_t i = 0; i < second.size(); ++i) {
    ASSERT_EQ(second[i], second.front() + static_cast<int>(i));
  }
  EXPECT_EQ(second.back(), Records - 1);
}

}  // namespace

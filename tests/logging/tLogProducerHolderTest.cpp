#include "logging/tLogProducerHolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/uEnvironment.h"
#include "tests/logging/TRecordingPluginProbe.h"
#include "tests/logging/tLogProducerHolderFixture.h"
#include "tests/uTestDirectory.h"

namespace {

namespace fs = std::filesystem;

void Syslog(tLogProducerHolder& holder, const std::string& address, const std::string& port,
            const std::string& text) {
  holder.RouteRecord(address, port, "SYSLOG", "syslog", "", text, 0);
}

TEST_F(tLogProducerHolderTest, WithoutProvidersRecordsGoToOneFileProducerPerStream) {
  for (const char* providers : {static_cast<const char*>(nullptr), "", "; a comment\n"}) {
    SCOPED_TRACE(providers != nullptr ? providers : "no file");
    fs::remove_all(Base());
    auto holder = MakeHolder(providers);
    EXPECT_EQ(holder->PluginProducerCount(), 0u);
    Syslog(*holder, "10.0.0.5", "514", "one");
    Syslog(*holder, "10.0.0.5", "514", "two");
    EXPECT_EQ(holder->FileProducerCount(), 1u);
    // Another source port is another stream, with the same file.
    Syslog(*holder, "10.0.0.5", "515", "three");
    EXPECT_EQ(holder->FileProducerCount(), 2u);
    holder.reset();
    EXPECT_EQ(LogFile("10.0.0.5/SYSLOG/syslog"), "one\r\ntwo\r\nthree\r\n");
  }
}

TEST_F(tLogProducerHolderTest, PassesDeliverToEveryExactlyMatchingEntry) {
  struct Record {
    const char* address;
    const char* port;
    const char* application;
    const char* module;
    const char* prefix;
  };
  struct Case {
    const char* key;
    Record record;
    std::size_t deliveries;  // to the plug-in; none means the record went to a file
  };
  const Case cases[] = {
      // K2 and K3 coincide when the prefix is empty.
      {"10.0.0.5|SYSLOG|syslog|", {"10.0.0.5", "514", "SYSLOG", "syslog", ""}, 2},
      {"10.0.0.5:514|SYSLOG|syslog|", {"10.0.0.5", "514", "SYSLOG", "syslog", ""}, 1},
      {"10.0.0.5:514|SYSLOG|syslog|", {"10.0.0.5", "515", "SYSLOG", "syslog", ""}, 0},
      {"10.0.0.5:7|app|m|p", {"10.0.0.5", "7", "app", "m", "p"}, 1},
      {"10.0.0.5|app|m|p", {"10.0.0.5", "7", "app", "m", "p"}, 1},
      {"10.0.0.5|app|m|", {"10.0.0.5", "7", "app", "m", "p"}, 1},
      {"10.0.0.5|app|m|p", {"10.0.0.5", "7", "app", "m", "q"}, 0},
      {"10.0.0.5|app|m|p", {"10.0.0.5", "7", "APP", "m", "p"}, 0},
      {"10.0.0.5|app|m|", {"10.0.0.6", "7", "app", "m", "p"}, 0},
      // Keys that split into four fields but are no built key: the producer exists, unused.
      {"\"10.0.0.5\"|SYSLOG|syslog|", {"10.0.0.5", "514", "SYSLOG", "syslog", ""}, 0},
      {"10.0.0.5 |SYSLOG|syslog|", {"10.0.0.5", "514", "SYSLOG", "syslog", ""}, 0},
      {"localhost|SYSLOG|syslog|", {"127.0.0.1", "514", "SYSLOG", "syslog", ""}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " <= " + c.record.address + ":" + c.record.port + " " +
                 c.record.application + "|" + c.record.module + "|" + c.record.prefix);
    fs::remove_all(Base());
    TRecordingPluginProbe probe;
    auto holder = MakeHolder((std::string(c.key) + "=" + KELVRA_RECORDING_PLUGIN + "\n").c_str());
    EXPECT_EQ(holder->PluginProducerCount(), 1u);
    holder->RouteRecord(c.record.address, c.record.port, c.record.application, c.record.module,
                        c.record.prefix, "text", 45358.25);
    probe.WaitForLines("AddMessage|", c.deliveries);
    // Time for a wrong extra delivery to show; passing never depends on it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<std::string> lines = probe.Lines();
    EXPECT_EQ(TRecordingPluginProbe::Count(
                  lines, "AddMessage|45358.25|" + TRecordingPluginProbe::Time(FNow) + "|text|"),
              c.deliveries);
    EXPECT_EQ(holder->FileProducerCount(), c.deliveries == 0 ? 1u : 0u);
    holder.reset();
    EXPECT_EQ(FilesInTree(), c.deliveries == 0 ? 1u : 0u);
  }
}

TEST_F(tLogProducerHolderTest, OneRecordReachesSeveralPluginsAndNoFile) {
  SetEnvironmentValue("KELVRA_JSONL_DIR", FDir.Dir());
  TRecordingPluginProbe probe;
  const std::string providers =
      std::string("10.0.0.5:514|SYSLOG|syslog|=") + KELVRA_JSON_LINES_PLUGIN +
      "\n10.0.0.5|SYSLOG|syslog|=" + KELVRA_RECORDING_PLUGIN + "\n10.0.0.9|A|B|=/nonexistent.so\n";
  auto holder = MakeHolder(providers.c_str());
  EXPECT_EQ(holder->PluginProducerCount(), 3u);
  Syslog(*holder, "10.0.0.5", "514", "say \"hi\"\tnow");
  // An entry whose library is missing takes the record, which is lost.
  holder->RouteRecord("10.0.0.9", "1", "A", "B", "C", "lost", 0);
  probe.WaitForLines("AddMessage|", 2);
  const std::string json = FDir.File("10.0.0.5_514_SYSLOG_syslog.jsonl");
  const std::string expected =
      "{\"clientTime\":null,\"serverTime\":\"2024-03-07T14:05:09.120\","
      "\"text\":\"say \\\"hi\\\"\\tnow\"}\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadTextFile(json) != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ReadTextFile(json), expected);
  EXPECT_EQ(TRecordingPluginProbe::Count(probe.Lines(), "AddMessage|"), 2u);
  EXPECT_EQ(holder->FileProducerCount(), 0u);
  holder.reset();
  EXPECT_EQ(FilesInTree(), 0u);
  SetEnvironmentValue("KELVRA_JSONL_DIR", "");
}

TEST_F(tLogProducerHolderTest, ReleasePeerEndsTheSendersFileProducersOnly) {
  auto holder = MakeHolder((std::string("10.0.0.5|X|Y|=") + KELVRA_RECORDING_PLUGIN).c_str());
  holder->RouteRecord("10.0.0.5", "1000", "A", "m", "", "a1", 0);
  holder->RouteRecord("10.0.0.5", "1000", "B", "m", "", "b1", 0);
  holder->RouteRecord("10.0.0.5", "1001", "A", "m", "", "a2", 0);
  holder->RouteRecord("10.0.0.6", "1000", "A", "m", "", "a3", 0);
  EXPECT_EQ(holder->FileProducerCount(), 4u);

  holder->ReleasePeer("10.0.0.5", "1000");
  EXPECT_EQ(holder->FileProducerCount(), 2u);
  holder->ReleasePeer("10.0.0.7", "1000");
  holder->ReleasePeer("10.0.0.5", "100");
  EXPECT_EQ(holder->FileProducerCount(), 2u);
  EXPECT_EQ(holder->PluginProducerCount(), 1u);

  // A new connection from the same address and port appends to the same file.
  holder->RouteRecord("10.0.0.5", "1000", "A", "m", "", "a4", 0);
  EXPECT_EQ(holder->FileProducerCount(), 3u);
  holder.reset();
  EXPECT_EQ(LogFile("10.0.0.5/A/m"), "a1\r\na2\r\na4\r\n");
  EXPECT_EQ(LogFile("10.0.0.5/B/m"), "b1\r\n");
}

TEST_F(tLogProducerHolderTest, IdleFileProducersAreReleased) {
  // The tick count wraps during the test.
  const std::uint32_t start = 0xFFFFFFFFu - 20'000;
  FTicks = start;
  auto holder = MakeHolder("");
  Syslog(*holder, "10.0.0.5", "514", "a1");
  FTicks = start + 30'000;
  Syslog(*holder, "10.0.0.6", "514", "b1");
  FTicks = start + 59'999;
  holder->ReleaseIdle();
  EXPECT_EQ(holder->FileProducerCount(), 2u);
  FTicks = start + 60'000;
  holder->ReleaseIdle();
  EXPECT_EQ(holder->FileProducerCount(), 1u);

  Syslog(*holder, "10.0.0.5", "514", "a2");
  EXPECT_EQ(holder->FileProducerCount(), 2u);
  FTicks = start + 90'000;
  holder->ReleaseIdle();
  EXPECT_EQ(holder->FileProducerCount(), 1u);
  // The one left is 10.0.0.5's: releasing it empties the holder.
  holder->ReleasePeer("10.0.0.5", "514");
  EXPECT_EQ(holder->FileProducerCount(), 0u);
  holder.reset();
  EXPECT_EQ(LogFile("10.0.0.5/SYSLOG/syslog"), "a1\r\na2\r\n");
  EXPECT_EQ(LogFile("10.0.0.6/SYSLOG/syslog"), "b1\r\n");
}

TEST_F(tLogProducerHolderTest, TheLeastRecentlyUsedFileProducerMakesRoom) {
  auto holder = MakeHolder("", 3);
  for (const char* port : {"1", "2", "3", "1", "4"}) {
    Syslog(*holder, "10.0.0.5", port, std::string("from ") + port);
  }
  EXPECT_EQ(holder->FileProducerCount(), 3u);
  // Port 2 was the least recently used.
  holder->ReleasePeer("10.0.0.5", "2");
  EXPECT_EQ(holder->FileProducerCount(), 3u);
  holder->ReleasePeer("10.0.0.5", "1");
  EXPECT_EQ(holder->FileProducerCount(), 2u);

  Syslog(*holder, "10.0.0.5", "2", "again from 2");
  holder.reset();
  EXPECT_EQ(LogFile("10.0.0.5/SYSLOG/syslog"),
            "from 1\r\nfrom 2\r\nfrom 3\r\nfrom 1\r\nfrom 4\r\nagain from 2\r\n");
}

}  // namespace

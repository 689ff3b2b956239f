#include "logging/tLogProducerHolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/uEnvironment.h"
#include "tests/logging/TFakeLogFileSystem.h"
#include "tests/logging/TRecordingPluginProbe.h"
#include "tests/logging/tLogProducerHolderFixture.h"
#include "tests/uTestDirectory.h"

namespace {

namespace fs = std::filesystem;

// The tests of what plug-ins get, in both isolation modes.
class tLogProducerHolderModeTest : public tLogProducerHolderTest,
                                   public testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { FIsolation = GetParam(); }
};

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

TEST_P(tLogProducerHolderModeTest, PassesDeliverToEveryExactlyMatchingEntry) {
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
    TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, FIsolation);
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

TEST_P(tLogProducerHolderModeTest, OneRecordReachesSeveralPluginsAndNoFile) {
  SetEnvironmentValue("KELVRA_JSONL_DIR", FDir.Dir());
  TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, FIsolation);
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

TEST_P(tLogProducerHolderModeTest, ReleasePeerEndsTheSendersFileProducersOnly) {
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

// Thousands of senders of one host hold one descriptor; the open-file bound counts files.
TEST_F(tLogProducerHolderTest, SendersOfOnePathShareOneOpenFile) {
  auto holder = MakeHolder("", 0);
  for (int port = 1; port <= 6000; ++port) {
    Syslog(*holder, "10.0.0.5", std::to_string(port), "p" + std::to_string(port));
  }
  EXPECT_EQ(holder->FileProducerCount(), 6000u);
  EXPECT_EQ(holder->FileTable().OpenFileCount(), 1u);
  Syslog(*holder, "10.0.0.6", "514", "other host");
  EXPECT_EQ(holder->FileTable().OpenFileCount(), 2u);
  holder.reset();
  const std::string lines = LogFile("10.0.0.5/SYSLOG/syslog");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 6000);
}

// Streams whose fields join into the same key text stay apart: each record reaches its own file.
TEST_F(tLogProducerHolderTest, StreamsWhoseFieldsJoinAlikeKeepTheirOwnFiles) {
  struct Stream {
    const char* address;
    const char* port;
    const char* application;
    const char* module;
    const char* prefix;
  };
  const std::vector<std::vector<Stream>> cases = {
      {{"10.0.0.5", "514", "a|b", "c", ""}, {"10.0.0.5", "514", "a", "b|c", ""}},
      {{"10.0.0.5", "514", "app", "m|p", ""}, {"10.0.0.5", "514", "app", "m", "p|"}},
      {{"10.0.0.5", "514", "a", "b|c|", "d"}, {"10.0.0.5", "514", "a|b", "c", "|d"}},
      {{"10.0.0.5", "514", "a=b", "c", ""}, {"10.0.0.5", "514=a", "b", "c", ""}},
      {{"10.0.0.5", "514", "ab", "c", ""}, {"10.0.0.5", "514", "AB", "c", ""}},
  };
  for (const std::vector<Stream>& streams : cases) {
    SCOPED_TRACE(std::string(streams[0].application) + " / " + streams[1].application);
    fs::remove_all(Base());
    auto holder = MakeHolder("");
    for (int round = 0; round < 2; ++round) {
      for (std::size_t i = 0; i < streams.size(); ++i) {
        const Stream& s = streams[i];
        holder->RouteRecord(s.address, s.port, s.application, s.module, s.prefix,
                            "stream " + std::to_string(i), 0);
      }
    }
    const bool sameStream = std::string_view(streams[0].application) == "ab";
    EXPECT_EQ(holder->FileProducerCount(), sameStream ? 1u : streams.size());
    holder.reset();
    std::vector<std::string> contents;
    for (const auto& entry : fs::recursive_directory_iterator(Base())) {
      if (entry.is_regular_file()) {
        contents.push_back(ReadTextFile(entry.path().string()));
      }
    }
    std::sort(contents.begin(), contents.end());
    if (sameStream) {
      // Names match without regard to letter case: one stream, one file.
      EXPECT_EQ(contents,
                (std::vector<std::string>{"stream 0\r\nstream 1\r\nstream 0\r\nstream 1\r\n"}));
    } else {
      EXPECT_EQ(contents,
                (std::vector<std::string>{"stream 0\r\nstream 0\r\n", "stream 1\r\nstream 1\r\n"}));
    }
  }
}

// One line at start for each library that cannot be used; its line still takes its records.
TEST_P(tLogProducerHolderModeTest, UnusableLibrariesAreReportedOnceAtStart) {
  const std::string missing = FDir.File("missing.so");
  const std::string text = FDir.File("text.so");
  WriteTextFile(text, "not a library");
  WriteTextFile(FDir.File("LogServer.conf"),
                "[Providers]\n10.0.0.5|A|m|=" + missing + "\n10.0.0.5|B|m|=" + text +
                    "\n10.0.0.5|C|m|=" + KELVRA_NO_ADD_MESSAGE_PLUGIN +
                    "\n10.0.0.5|D|m|=" + KELVRA_RECORDING_PLUGIN + "\n");
  std::vector<std::string> reports;
  TLogProducerHolderOptions options;
  options.Report = [&](const std::string& line) { reports.push_back(line); };
  options.PluginIsolation = FIsolation;
  options.PluginHost.Program = KELVRA_PLUGIN_HOST;
  TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, FIsolation);
  auto holder = std::make_unique<tLogProducerHolder>(Base(), FDir.File("LogServer.conf"), options);
  ASSERT_EQ(reports.size(), 3u);
  const std::string libraries[] = {missing, text, KELVRA_NO_ADD_MESSAGE_PLUGIN};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(reports[i].rfind("FAIL while load plug-in \"" + libraries[i] + "\": ", 0), 0u)
        << reports[i];
  }
  EXPECT_NE(reports[2].find("no export LogProvider_AddMessage"), std::string::npos);
  EXPECT_EQ(holder->PluginProducerCount(), 4u);
  holder->RouteRecord("10.0.0.5", "1", "A", "m", "", "claimed", 0);
  holder.reset();
  EXPECT_EQ(FilesInTree(), 0u);  // taken by its (unusable) plug-in line, as configured
}

// The lines a full disk costs are counted per file and reported, and lines land again once
// there is room.
TEST_F(tLogProducerHolderTest, LinesLostToTheDiskAreReported) {
  auto disk = std::make_shared<TFakeLogFileSystem>();
  TLogProducerHolderOptions options;
  options.Clock = [this] { return FNow; };
  options.Ticks = [this] { return FTicks; };
  options.Masks = std::make_shared<const TFileLogMasks>(TFormatSettings{});
  options.FileSystem = disk;
  tLogProducerHolder holder(Base(), FDir.File("none.conf"), options);
  Syslog(holder, "10.0.0.5", "514", "kept");
  disk->SpaceLeft = 0;
  Syslog(holder, "10.0.0.5", "514", "lost 1");
  Syslog(holder, "10.0.0.5", "514", "lost 2");
  std::vector<std::string> report;
  holder.TakeDropReport(report);
  // The base as configured, the folders below it with the platform's separator.
  const std::string file = Base() + NativePath("10.0.0.5/SYSLOG/syslog/2024_03_07/14.log");
  EXPECT_EQ(report, std::vector<std::string>{"DROPPED 2 LINES [code=28] WRITE FAILED: " + file});
  disk->SpaceLeft = TFakeLogFileSystem::Unlimited;
  Syslog(holder, "10.0.0.5", "514", "again");
  EXPECT_EQ(disk->Content(file), "kept\r\nagain\r\n");
}

// In a pass, a record whose line shows no time is filed by the time the pass began (it came
// before then); a record with a client stamp reads the clock itself, so its server stamp is the
// time it was handed over; outside a pass every record reads the clock.
TEST_F(tLogProducerHolderTest, ARecordWithoutStampsInAPassIsFiledByThePassTime) {
  const TDateTime beforeHour = EncodeDateTime(2024, 3, 7, 13, 59, 59, 999);
  const TDateTime onHour = EncodeDateTime(2024, 3, 7, 14, 0, 0, 3);
  const TDateTime clientTime = EncodeDateTime(2024, 3, 7, 13, 59, 58, 500);
  const struct {
    bool inPass;
    TDateTime clientTime;
    const char* file;
    const char* line;
  } cases[] = {
      {true, 0, "13.log", "text\r\n"},
      {true, clientTime, "14.log", "14:00:00.003[13:59:58.500] : text\r\n"},
      {false, 0, "14.log", "text\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::filesystem::remove_all(Base());
    auto holder = MakeHolder("");
    FNow = beforeHour;
    if (c.inPass) {
      holder->HoldLines();
    }
    // The clock has passed the hour by the time the record is routed.
    FNow = onHour;
    holder->RouteRecord("10.0.0.5", "514", "app", "mod", "", "text", c.clientTime);
    if (c.inPass) {
      holder->WriteHeld();
    }
    holder.reset();
    EXPECT_EQ(LogFile("10.0.0.5/app/mod", c.file), c.line);
    EXPECT_EQ(FilesInTree(), 1u);
  }
}

// Across an hour: once a stamped record of a pass has read the clock past the hour, the
// stampless records after it go to the new hour's file too, so the stream's order holds across
// its hour files.
TEST_F(tLogProducerHolderTest, AStamplessRecordAfterAStampedOneInAPassKeepsItsHour) {
  const TDateTime clientTime = EncodeDateTime(2024, 3, 7, 13, 59, 58, 500);
  auto holder = MakeHolder("");
  FNow = EncodeDateTime(2024, 3, 7, 13, 59, 59, 999);
  holder->HoldLines();
  holder->RouteRecord("10.0.0.5", "514", "app", "mod", "", "first", 0);
  FNow = EncodeDateTime(2024, 3, 7, 14, 0, 0, 3);
  holder->RouteRecord("10.0.0.5", "514", "app", "mod", "", "stamped", clientTime);
  holder->RouteRecord("10.0.0.5", "514", "app", "mod", "", "after", 0);
  holder->WriteHeld();
  holder.reset();
  EXPECT_EQ(LogFile("10.0.0.5/app/mod", "13.log"), "first\r\n");
  EXPECT_EQ(LogFile("10.0.0.5/app/mod", "14.log"),
            "14:00:00.003[13:59:58.500] : stamped\r\nafter\r\n");
}

INSTANTIATE_TEST_SUITE_P(BothModes, tLogProducerHolderModeTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& mode) {
                           return mode.param ? std::string("Isolated") : std::string("InProcess");
                         });

}  // namespace

TEST_F(tLogProducerHolderTest, ForwardersGetEveryRecordAndTheRoutingStaysAsItWas) {
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER);
  WriteTextFile(FDir.File("LogServer.conf"),
                std::string("[Common]\nLogMode=1\n[Forward]\nRec=") + KELVRA_RECORDING_FORWARDER +
                    "\n[Providers]\n10.0.0.9|A|m|=" + KELVRA_RECORDING_PLUGIN + "\n");
  TLogProducerHolderOptions options;
  options.Clock = [this] { return FNow; };
  options.Masks = std::make_shared<const TFileLogMasks>(TFormatSettings{});
  std::vector<std::string> reports;
  options.Report = [&reports](const std::string& line) { reports.push_back(line); };
  auto holder = std::make_unique<tLogProducerHolder>(Base(), FDir.File("LogServer.conf"), options);
  EXPECT_EQ(holder->ForwarderCount(), 1u);
  holder->RouteRecord("10.0.0.5", "4711", "A", "m", "", "to the file", 0);
  holder->RouteRecord("10.0.0.9", "4712", "A", "m", "", "to the plug-in", 0);
  probe.WaitForLines("AddRecord|", 2);
  holder.reset();
  // The plug-in's stream has no file; the other stream has its one file, as without forwarders.
  EXPECT_EQ(FilesInTree(), 1u);
  EXPECT_EQ(LogFile("10.0.0.5/A/m"), "to the file\r\n");
  const auto lines = probe.Lines();
  EXPECT_EQ(TRecordingPluginProbe::Count(lines, "AddRecord|"), 2u);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().rfind("FORWARD Rec: offered 2, delivered 2", 0), 0u) << reports.back();
}

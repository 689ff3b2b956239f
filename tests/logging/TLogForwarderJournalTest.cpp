// The forwarders' journal: records the library has not taken survive the forwarder, come first at
// the next start, and are bounded on disk with exact counts.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "logging/TLogForwarder.h"
#include "logging/tLogForwarderSet.h"
#include "logging/uForwardJournalRecord.h"
#include "tests/logging/TForwarderModeTest.h"
#include "tests/logging/TRecordingPluginProbe.h"
#include "tests/uTestDirectory.h"

namespace {

using namespace std::chrono_literals;

std::chrono::steady_clock::time_point In(std::chrono::milliseconds delay) {
  return std::chrono::steady_clock::now() + delay;
}

std::size_t Release(TLogForwarder& forwarder) {
  std::size_t lost = 0;
  forwarder.StopDelivery(In(5000ms));
  EXPECT_TRUE(forwarder.FinishDelivery(In(5000ms), lost));
  forwarder.Finalize();
  return lost;
}

// The texts of the AddRecord lines of the recording forwarder, in order.
std::vector<std::string> DeliveredTexts(const TRecordingPluginProbe& probe) {
  std::vector<std::string> texts;
  for (const auto& line : probe.Lines()) {
    if (line.rfind("AddRecord|", 0) == 0) {
      // AddRecord|client|server|address|port|application|module|prefix|text|thread
      std::size_t at = 0;
      for (int field = 0; field < 8; ++field) {
        at = line.find('|', at) + 1;
      }
      texts.push_back(line.substr(at, line.rfind('|') - at));
    }
  }
  return texts;
}

class TLogForwarderJournalTest : public TForwarderModeTest {};

}  // namespace

TEST_P(TLogForwarderJournalTest, WhatTheLibraryDidNotTakeIsDeliveredFirstAtTheNextStart) {
  TTestDirectory dir;
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER, Isolated());
  const std::string journal = dir.File("journal");
  {
    // A library that cannot be loaded takes nothing: the journal keeps every record.
    TLogForwarder first("Rec", dir.File("no-such-library"), Limits(), journal);
    ASSERT_NE(first.LoadProblem(), "");
    ASSERT_TRUE(first.HasJournal()) << first.JournalProblem();
    first.HoldRecords();
    first.Offer("10.0.0.5", 4711, "App", "Mod", "Pre", "r0", 45000.5, 45000.75);
    for (int n = 1; n < 5; ++n) {
      first.Offer("10.0.0.5", 4711, "App", "Mod", "Pre", "r" + std::to_string(n), 0, 1);
    }
    first.WriteHeld();
    first.Offer("10.0.0.5", 4711, "App", "Mod", "Pre", "r5", 0, 1);  // not held: at once
    EXPECT_EQ(Release(first), 0u);
    const auto counts = first.Counts();
    EXPECT_EQ(counts.Offered, 6u);
    EXPECT_EQ(counts.Kept, 6u);
    EXPECT_EQ(counts.Lost, 0u);
  }
  TLogForwarder second("Rec", KELVRA_RECORDING_FORWARDER, Limits(), journal);
  EXPECT_EQ(second.Counts().Recovered, 6u);
  second.Offer("10.0.0.6", 1, "App", "Mod", "", "new", 0, 1);
  probe.WaitForLines("AddRecord|", 7);
  EXPECT_EQ(Release(second), 0u);
  EXPECT_EQ(DeliveredTexts(probe),
            (std::vector<std::string>{"r0", "r1", "r2", "r3", "r4", "r5", "new"}));
  const auto lines = probe.Lines();
  ASSERT_GE(lines.size(), 2u);
  // Every field of the record came through the journal unchanged.
  EXPECT_EQ(
      lines[1].rfind("AddRecord|" + TRecordingPluginProbe::Time(45000.5) + "|" +
                         TRecordingPluginProbe::Time(45000.75) + "|10.0.0.5|4711|App|Mod|Pre|r0|",
                     0),
      0u)
      << lines[1];
  EXPECT_NE(second.StatisticsLine().find("; journal: recovered 6, dropped 0, kept 0"),
            std::string::npos)
      << second.StatisticsLine();
  // Delivered and confirmed: a third start finds nothing to deliver again.
  TLogForwarder third("Rec", KELVRA_RECORDING_FORWARDER, Limits(), journal);
  EXPECT_EQ(third.Counts().Recovered, 0u);
  Release(third);
}

TEST_P(TLogForwarderJournalTest, AFullJournalDropsTheOldestCountedExactlyAndReported) {
  TTestDirectory dir;
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER, Isolated());
  const std::string config = dir.File("LogServer.conf");
  TLogForwarderLimits limits;
  limits.JournalRoot = dir.File("journal");
  limits.JournalDiskBytes = 16 * 1024;
  constexpr int Offered = 1000;
  const std::string padding(80, '.');
  std::uint64_t kept = 0;
  {
    WriteTextFile(config, "[Forward]\nRec=" + dir.File("no-such-library") + "\n");
    tLogForwarderSet set(config, Limits(limits), nullptr);
    for (int n = 0; n < Offered; n += 20) {
      set.HoldRecords();
      for (int i = n; i < n + 20; ++i) {
        set.Offer("h", "1", "A", "m", "", "r" + std::to_string(i) + padding, 0, 1);
      }
      set.WriteHeld();
    }
    std::vector<std::string> lines;
    set.TakeDropReport(lines, 1000, 60'000, true);
    ASSERT_EQ(lines.size(), 1u);
    std::uint64_t dropped = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "FORWARD Rec: %llu RECORDS DROPPED, JOURNAL FULL",
                          reinterpret_cast<unsigned long long*>(&dropped)),
              1)
        << lines[0];
    std::vector<std::string> reports;
    set.ReleaseAll(In(5000ms), [&reports](const std::string& line) { reports.push_back(line); });
    ASSERT_EQ(reports.size(), 1u);
    const auto at =
        reports[0].find("; journal: recovered 0, dropped " + std::to_string(dropped) + ", kept ");
    ASSERT_NE(at, std::string::npos) << reports[0];
    kept = std::stoull(reports[0].substr(reports[0].rfind(' ') + 1));
    // Each record is kept or counted as dropped.
    EXPECT_EQ(kept + dropped, static_cast<std::uint64_t>(Offered)) << reports[0];
    EXPECT_GT(dropped, 0u);
    EXPECT_GT(kept, 0u);
  }
  WriteTextFile(config, std::string("[Forward]\nRec=") + KELVRA_RECORDING_FORWARDER + "\n");
  std::vector<std::string> reports;
  tLogForwarderSet set(config, Limits(limits),
                       [&reports](const std::string& line) { reports.push_back(line); });
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "FORWARD Rec: " + std::to_string(kept) +
                            " RECORDS NOT YET DELIVERED FOUND IN THE JOURNAL, DELIVERED FIRST");
  probe.WaitForLines("AddRecord|", kept);
  set.ReleaseAll(In(5000ms), nullptr);
  // The newest ones, in order, without a gap.
  const auto texts = DeliveredTexts(probe);
  ASSERT_EQ(texts.size(), kept);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(texts[i], "r" + std::to_string(Offered - kept + i) + padding);
  }
}

TEST_P(TLogForwarderJournalTest, EachForwarderHasAJournalDirectoryOfItsOwnFromItsName) {
  struct TCase {
    const char* Name;
    const char* Directory;
  };
  const TCase cases[] = {
      {"Nats", "Nats"},   {"a/b", "a_b"},
      {"NATS", "NATS~2"},  // case-blind file systems
      {"..", "__"},       {"end.", "end_"},
      {"CON", "_CON"},    {"nul.txt", "_nul.txt"},
      {"x:y*", "x_y_"},   {"Kafka-1.main", "Kafka-1.main"},
  };
  TTestDirectory dir;
  std::string section = "[Forward]\n";
  for (const TCase& c : cases) {
    section += std::string(c.Name) + "=" + dir.File("no-such-library") + "\n";
  }
  WriteTextFile(dir.File("LogServer.conf"), section);
  TLogForwarderLimits limits;
  limits.JournalRoot = dir.File("journal");
  tLogForwarderSet set(dir.File("LogServer.conf"), limits, nullptr);
  ASSERT_EQ(set.Count(), std::size(cases));
  for (const TCase& c : cases) {
    EXPECT_TRUE(std::filesystem::exists(limits.JournalRoot + "/" + c.Directory + "/instance"))
        << c.Name << " => " << c.Directory;
  }
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator(limits.JournalRoot)) {
    ++entries;
  }
  EXPECT_EQ(entries, std::size(cases));
  set.ReleaseAll(In(5000ms), nullptr);
}

TEST_P(TLogForwarderJournalTest, AnUnusableJournalIsReportedAndTheQueueStaysInMemory) {
  TTestDirectory dir;
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER, Isolated());
  WriteTextFile(dir.File("LogServer.conf"),
                std::string("[Forward]\nRec=") + KELVRA_RECORDING_FORWARDER + "\n");
  // A file where the directory should be.
  WriteTextFile(dir.File("journal"), "not a directory");
  TLogForwarderLimits limits;
  limits.JournalRoot = dir.File("journal");
  std::vector<std::string> reports;
  tLogForwarderSet set(dir.File("LogServer.conf"), Limits(limits),
                       [&reports](const std::string& line) { reports.push_back(line); });
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rfind("FAIL while open journal of forwarder Rec: spool: directory ", 0), 0u)
      << reports[0];
  EXPECT_NE(reports[0].find("; its records are queued in memory only"), std::string::npos);
  set.Offer("h", "1", "A", "m", "", "still delivered", 0, 1);
  probe.WaitForLines("AddRecord|", 1);
  EXPECT_EQ(set.ReleaseAll(In(5000ms), nullptr), 0u);
  EXPECT_EQ(DeliveredTexts(probe), std::vector<std::string>{"still delivered"});
}

INSTANTIATE_TEST_SUITE_P(BothModes, TLogForwarderJournalTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& mode) {
                           return mode.param ? std::string("Isolated") : std::string("InProcess");
                         });

TEST(uForwardJournalRecordTest, EveryFieldComesBackAndMalformedBytesAreRefused) {
  const std::string binary("a\0b\xff\r\n", 6);
  const TForwardJournalRecord cases[] = {
      {45000.5, 45000.75, 4711, "10.0.0.5", "App", "Mod", "Pre", "text"},
      {0, 1, 0, "", "", "", "", ""},
      {-1.25, 1e300, 65535, "::1", binary, "m", "", std::string(100'000, 'x')},
  };
  for (const auto& c : cases) {
    std::string bytes = "before";  // appended to what is there
    AppendForwardJournalRecord(bytes, c.PeerAddress, c.PeerPort, c.Application, c.Module, c.Prefix,
                               c.Text, c.ClientTime, c.ServerTime);
    const std::string_view record = std::string_view(bytes).substr(6);
    TForwardJournalRecord back;
    ASSERT_TRUE(ParseForwardJournalRecord(record, back));
    EXPECT_EQ(back.ClientTime, c.ClientTime);
    EXPECT_EQ(back.ServerTime, c.ServerTime);
    EXPECT_EQ(back.PeerPort, c.PeerPort);
    EXPECT_EQ(back.PeerAddress, c.PeerAddress);
    EXPECT_EQ(back.Application, c.Application);
    EXPECT_EQ(back.Module, c.Module);
    EXPECT_EQ(back.Prefix, c.Prefix);
    EXPECT_EQ(back.Text, c.Text);
    // One byte short, one byte more, nothing: not a record.
    EXPECT_FALSE(ParseForwardJournalRecord(record.substr(0, record.size() - 1), back));
    EXPECT_FALSE(ParseForwardJournalRecord(std::string(record) + "x", back));
    EXPECT_FALSE(ParseForwardJournalRecord(record.substr(0, 10), back));
  }
}

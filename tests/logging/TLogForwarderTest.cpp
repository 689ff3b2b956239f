#include "logging/TLogForwarder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "logging/tLogForwarderSet.h"
#include "tests/logging/TForwarderModeTest.h"
#include "tests/logging/TRecordingPluginProbe.h"
#include "tests/uTestDirectory.h"

namespace {

using namespace std::chrono_literals;

std::chrono::steady_clock::time_point In(std::chrono::milliseconds delay) {
  return std::chrono::steady_clock::now() + delay;
}

// The owner's sequence; returns what FinishDelivery counted as lost.
std::size_t Release(std::unique_ptr<TLogForwarder>& forwarder,
                    std::chrono::milliseconds timeout = 5000ms) {
  std::size_t lost = 0;
  forwarder->StopDelivery(In(timeout));
  EXPECT_TRUE(forwarder->FinishDelivery(In(timeout), lost));
  forwarder->Finalize();
  return lost;
}

// The lines that begin with "FORWARD ", without the plug-in hosts' lines.
std::vector<std::string> ForwardLines(const std::vector<std::string>& lines) {
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    if (line.rfind("FORWARD ", 0) == 0) {
      kept.push_back(line);
    }
  }
  return kept;
}

class TLogForwarderTest : public TForwarderModeTest {};

using TLogForwarderSetTest = TLogForwarderTest;

}  // namespace

TEST_P(TLogForwarderTest, RecordsReachTheLibraryWithTheirOwnFieldsInOrderOnOneThread) {
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER, Isolated());
  auto forwarder = std::make_unique<TLogForwarder>("Rec", KELVRA_RECORDING_FORWARDER, Limits());
  ASSERT_EQ(forwarder->LoadProblem(), "");
  forwarder->Offer("10.0.0.5", 4711, "App", "Mod", "Pre", "first", 45000.5, 45000.75);
  forwarder->Offer("10.0.0.6", 514, "SYSLOG", "syslog", "", "second", 0, 45001.0);
  const auto lines = probe.WaitForLines("AddRecord|", 2);
  EXPECT_EQ(Release(forwarder), 0u);
  const auto all = probe.Lines();
  ASSERT_GE(all.size(), 5u);
  const std::string tag = TRecordingPluginProbe::ThreadTag();
  const std::string initializer = all[0].substr(all[0].rfind('|') + 1);
  EXPECT_EQ(all[0], "Initialize|||||||" + initializer);  // six empty texts
  // In the process on the creating thread, and each record on the forwarder's thread; isolated,
  // all on the host's one thread (another process, whose thread tags may coincide with ours).
  if (Isolated()) {
    EXPECT_EQ(all[1].substr(all[1].rfind('|') + 1), initializer);
    EXPECT_EQ(all[2].substr(all[2].rfind('|') + 1), initializer);
  } else {
    EXPECT_EQ(initializer, tag);
    EXPECT_EQ(all[1].find("|" + tag), std::string::npos);
  }
  const std::string prefix1 = "AddRecord|" + TRecordingPluginProbe::Time(45000.5) + "|" +
                              TRecordingPluginProbe::Time(45000.75) +
                              "|10.0.0.5|4711|App|Mod|Pre|first|";
  EXPECT_EQ(all[1].rfind(prefix1, 0), 0u) << all[1];
  EXPECT_EQ(all[2].rfind("AddRecord|0|" + TRecordingPluginProbe::Time(45001.0) +
                             "|10.0.0.6|514|SYSLOG|syslog||second|",
                         0),
            0u)
      << all[2];
  EXPECT_EQ(all[3].rfind("Finalize|", 0), 0u);
  EXPECT_EQ(all[4].rfind("Statistics|", 0), 0u);
  TLogProviderStatistics counts{};
  ASSERT_TRUE(forwarder->LibraryCounts(counts));
  EXPECT_EQ(counts.sent, 2u);
  EXPECT_EQ(forwarder->StatisticsLine(),
            "FORWARD Rec: offered 2, delivered 2, queue full 0, lost at stop 0; sent 2, "
            "acknowledged 2, spooled 0, dropped 0");
}

TEST_P(TLogForwarderTest, AFullQueueRefusesRecordsCountedWhileTheLibraryIsStuck) {
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER, Isolated());
  TLogForwarderLimits limits;
  limits.MaxRecords = 50;
  auto forwarder =
      std::make_unique<TLogForwarder>("Rec", KELVRA_RECORDING_FORWARDER, Limits(limits));
  forwarder->Offer("10.0.0.5", 1, "A", "m", "", "block", 0, 1);
  probe.WaitForLines("AddRecord|", 1);
  constexpr int Offered = 80;
  for (int n = 0; n < Offered; ++n) {
    forwarder->Offer("10.0.0.5", 1, "A", "m", "", "r" + std::to_string(n), 0, 1);
  }
  EXPECT_EQ(forwarder->TakeDropped(), Offered - limits.MaxRecords);
  EXPECT_EQ(forwarder->TakeDropped(), 0u);
  probe.Unblock();
  probe.WaitForLines("AddRecord|", 1 + limits.MaxRecords);
  EXPECT_EQ(Release(forwarder), 0u);
  const auto lines = probe.Lines();
  // The first MaxRecords got in, in order; the rest were refused, none delivered late.
  std::vector<std::string> texts;
  for (const auto& line : lines) {
    if (line.rfind("AddRecord|", 0) == 0) {
      texts.push_back(line.substr(line.find("|m||") + 4, line.rfind('|') - line.find("|m||") - 4));
    }
  }
  ASSERT_EQ(texts.size(), 1 + limits.MaxRecords);
  for (std::size_t n = 0; n < limits.MaxRecords; ++n) {
    EXPECT_EQ(texts[n + 1], "r" + std::to_string(n));
  }
  const auto counts = forwarder->Counts();
  EXPECT_EQ(counts.Offered, Offered + 1u);
  EXPECT_EQ(counts.Overflow, Offered - limits.MaxRecords);
  EXPECT_EQ(counts.Delivered, 1 + limits.MaxRecords);
}

TEST_P(TLogForwarderTest, AStopTimeOutCountsWhatWasNotDelivered) {
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER, Isolated());
  auto forwarder = std::make_unique<TLogForwarder>("Rec", KELVRA_RECORDING_FORWARDER, Limits());
  forwarder->Offer("10.0.0.5", 1, "A", "m", "", "block", 0, 1);
  probe.WaitForLines("AddRecord|", 1);
  for (int n = 0; n < 10; ++n) {
    forwarder->Offer("10.0.0.5", 1, "A", "m", "", "later", 0, 1);
  }
  std::size_t lost = 0;
  forwarder->StopDelivery(In(100ms));
  const bool ended = forwarder->FinishDelivery(In(100ms), lost);
  // The call that never returned and the queue are counted.
  EXPECT_EQ(lost, 11u);
  EXPECT_EQ(forwarder->Counts().Lost, 11u);
  if (Isolated()) {
    // Its host is killed at the deadline: nothing is left running.
    EXPECT_TRUE(ended);
    std::vector<std::string> report;
    forwarder->TakeReport(report);
    EXPECT_NE(Joined(report).find("did not end in time: killed"), std::string::npos)
        << Joined(report);
    forwarder->Finalize();
    EXPECT_EQ(TRecordingPluginProbe::Count(probe.Lines(), "AddRecord|"), 1u);
    return;
  }
  // Stuck in the library past the deadline: abandoned.
  EXPECT_FALSE(ended);
  probe.Unblock();
  // The abandoned thread still uses the object; it stays to the end of the process, kept where
  // the leak checker can see it (volatile: an optimised build keeps the store).
  static TLogForwarder* volatile abandoned = forwarder.release();
  (void)abandoned;
}

TEST_P(TLogForwarderTest, ALibraryWithoutAddRecordIsReportedAndNeverCalled) {
  TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, Isolated());  // AddMessage only
  auto forwarder = std::make_unique<TLogForwarder>("Plug", KELVRA_RECORDING_PLUGIN, Limits());
  EXPECT_EQ(forwarder->LoadProblem(), "no export LogProvider_AddRecord");
  forwarder->Offer("10.0.0.5", 1, "A", "m", "", "text", 0, 1);
  Release(forwarder);
  EXPECT_TRUE(probe.Lines().empty());
}

TEST_P(TLogForwarderSetTest, TheForwardSectionStartsOneForwarderPerUsableLine) {
  TTestDirectory dir;
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER, Isolated());
  WriteTextFile(dir.File("LogServer.conf"),
                std::string("[Common]\nLogMode=1\n[Forward]\nRec=") + KELVRA_RECORDING_FORWARDER +
                    "\nMissing=" + dir.File("no-such-library") + "\nNoPath=\n[Providers]\n");
  std::vector<std::string> reports;
  tLogForwarderSet set(dir.File("LogServer.conf"), Limits(),
                       [&reports](const std::string& line) { reports.push_back(line); });
  EXPECT_EQ(set.Count(), 2u);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].rfind("FAIL while load forwarder Missing", 0), 0u) << reports[0];
  EXPECT_NE(reports[1].find("NoPath"), std::string::npos) << reports[1];
  set.Offer("10.0.0.5", "4711", "A", "m", "p", "text", 0, 1);
  set.Offer("10.0.0.5", "not-a-port", "A", "m", "p", "text", 0, 1);
  probe.WaitForLines("AddRecord|", 2);
  reports.clear();
  // Without a journal the records for the library that cannot be loaded are counted as lost.
  EXPECT_EQ(
      set.ReleaseAll(In(5000ms), [&reports](const std::string& line) { reports.push_back(line); }),
      2u);
  reports = ForwardLines(reports);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].rfind("FORWARD Rec: offered 2, delivered 2", 0), 0u) << reports[0];
  EXPECT_EQ(
      reports[1].rfind("FORWARD Missing: offered 2, delivered 0, queue full 0, lost at stop 2", 0),
      0u)
      << reports[1];
  const auto lines = probe.Lines();
  EXPECT_NE(lines[1].find("|10.0.0.5|4711|A|m|p|text|"), std::string::npos);
  EXPECT_NE(lines[2].find("|10.0.0.5|0|A|m|p|text|"), std::string::npos);
}

TEST_P(TLogForwarderSetTest, QueueOverflowIsReportedOncePerIntervalWithItsCount) {
  TTestDirectory dir;
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER, Isolated());
  WriteTextFile(dir.File("LogServer.conf"),
                std::string("[Forward]\nRec=") + KELVRA_RECORDING_FORWARDER + "\n");
  TLogForwarderLimits limits;
  limits.MaxRecords = 5;
  tLogForwarderSet set(dir.File("LogServer.conf"), Limits(limits), nullptr);
  set.Offer("h", "1", "A", "m", "", "block", 0, 1);
  probe.WaitForLines("AddRecord|", 1);
  for (int n = 0; n < 12; ++n) {
    set.Offer("h", "1", "A", "m", "", "x", 0, 1);
  }
  std::vector<std::string> lines;
  set.TakeDropReport(lines, 1000, 60'000, false);
  lines = ForwardLines(lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "FORWARD Rec: 7 RECORDS DROPPED, QUEUE FULL");
  set.Offer("h", "1", "A", "m", "", "x", 0, 1);
  lines.clear();
  set.TakeDropReport(lines, 30'000, 60'000, false);
  EXPECT_TRUE(lines.empty());
  set.TakeDropReport(lines, 61'000, 60'000, false);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "FORWARD Rec: 1 RECORDS DROPPED, QUEUE FULL");
  probe.Unblock();
}

INSTANTIATE_TEST_SUITE_P(BothModes, TLogForwarderTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& mode) {
                           return mode.param ? std::string("Isolated") : std::string("InProcess");
                         });
INSTANTIATE_TEST_SUITE_P(BothModes, TLogForwarderSetTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& mode) {
                           return mode.param ? std::string("Isolated") : std::string("InProcess");
                         });

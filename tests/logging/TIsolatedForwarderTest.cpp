// A forwarder whose library runs in a plug-in host (PluginIsolation=1), with the fault forwarder
// in real host processes: a crash costs the host only, the journal keeps what the host did not
// acknowledge, a poisoned record is skipped, and the library's counts never hold up the caller.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "logging/TLogForwarder.h"
#include "platform/uEnvironment.h"
#include "tests/logging/TRecordingPluginProbe.h"
#include "tests/uTestDirectory.h"

namespace {

using namespace std::chrono_literals;

std::chrono::steady_clock::time_point In(std::chrono::milliseconds delay) {
  return std::chrono::steady_clock::now() + delay;
}

TLogForwarderLimits IsolatedLimits() {
  TLogForwarderLimits limits;
  limits.PluginIsolation = true;
  limits.PluginHost.Program = KELVRA_PLUGIN_HOST;
  limits.PluginHost.FirstRestartDelayMs = 50;
  limits.PluginHost.MaxRestartDelayMs = 400;
  return limits;
}

// The fault forwarder's record file in a directory of the test's own, named to the hosts started
// while it lives.
class TFaultFile {
 public:
  TFaultFile() : FPath(FDir.File("calls.txt")) { SetEnvironmentValue("KELVRA_FAULT_FILE", FPath); }
  ~TFaultFile() { SetEnvironmentValue("KELVRA_FAULT_FILE", ""); }
  TFaultFile(const TFaultFile&) = delete;
  TFaultFile& operator=(const TFaultFile&) = delete;

  std::vector<std::string> Lines() const { return FileLines(FPath); }
  // Waits up to 10 s until the last line recorded is last.
  bool WaitForLast(const std::string& last) const {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto lines = Lines();
      if (!lines.empty() && lines.back() == last) {
        return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }
  std::string Dir() const { return FDir.Dir(); }

 private:
  TTestDirectory FDir;
  std::string FPath;
};

void Offer(TLogForwarder& forwarder, const std::string& text) {
  forwarder.Offer("10.0.0.5", 4711, "App", "Mod", "", text, 0, 1);
}

std::size_t Release(TLogForwarder& forwarder, std::chrono::milliseconds timeout = 5000ms) {
  std::size_t lost = 0;
  forwarder.StopDelivery(In(timeout));
  EXPECT_TRUE(forwarder.FinishDelivery(In(timeout), lost));
  forwarder.Finalize();
  return lost;
}

}  // namespace

// The host ends on the third record: it is started again, the records it had not acknowledged
// reach it again, the third is skipped once it has ended twice on it, and those behind it arrive.
// The skipped record leaves the journal with the delivered ones.
TEST(TIsolatedForwarderTest, ACrashOnTheThirdRecordRestartsTheHostAndSkipsThatRecordOnly) {
  for (const char* fault : {"segv", "abort", "exit"}) {
    SCOPED_TRACE(fault);
    TFaultFile calls;
    const std::string journal = calls.Dir() + "journal";
    {
      TLogForwarder forwarder("Fault", KELVRA_FAULT_FORWARDER, IsolatedLimits(), journal);
      ASSERT_EQ(forwarder.LoadProblem(), "");
      ASSERT_TRUE(forwarder.HasJournal());
      forwarder.HoldRecords();
      for (const char* text : {"r1", "r2", fault, "r4", "r5"}) {
        Offer(forwarder, text);
      }
      forwarder.WriteHeld();
      ASSERT_TRUE(calls.WaitForLast("r5")) << Joined(calls.Lines());
      Offer(forwarder, "r6");
      ASSERT_TRUE(calls.WaitForLast("r6")) << Joined(calls.Lines());
      EXPECT_EQ(Release(forwarder), 0u);

      const auto lines = calls.Lines();
      EXPECT_EQ(CountOf(lines, "Initialize"), 3u) << Joined(lines);
      EXPECT_EQ(CountOf(lines, fault), 2u) << Joined(lines);
      EXPECT_GE(CountOf(lines, "r1"), 1u) << Joined(lines);
      EXPECT_GE(CountOf(lines, "r2"), 1u) << Joined(lines);
      // Behind the skipped record, in order, once each, then Finalize.
      ASSERT_GE(lines.size(), 4u);
      EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
                (std::vector<std::string>{"r4", "r5", "r6", "Finalize"}))
          << Joined(lines);

      const auto counts = forwarder.Counts();
      EXPECT_EQ(counts.Skipped, 1u);
      EXPECT_EQ(counts.Delivered, 5u);
      EXPECT_EQ(counts.Kept, 0u);
      EXPECT_NE(forwarder.StatisticsLine().find("lost at stop 0, skipped 1; sent "),
                std::string::npos)
          << forwarder.StatisticsLine();
      std::vector<std::string> report;
      forwarder.TakeReport(report);
      const std::string host =
          std::string("plug-in host of forwarder Fault \"") + KELVRA_FAULT_FORWARDER + "\"";
      EXPECT_NE(Joined(report).find("FAIL " + host + " ended: "), std::string::npos)
          << Joined(report);
      EXPECT_NE(
          Joined(report).find(std::string("FAIL forwarder Fault \"") + KELVRA_FAULT_FORWARDER +
                              "\" ended twice on one record: record skipped (1 in all)"),
          std::string::npos)
          << Joined(report);
      EXPECT_NE(Joined(report).find(host + " started again: process "), std::string::npos);
    }
    // Nothing is left to deliver at the next start: the poisoned record went with the others.
    TLogForwarder next("Fault", KELVRA_FAULT_FORWARDER, IsolatedLimits(), journal);
    EXPECT_EQ(next.Counts().Recovered, 0u);
    Release(next);
  }
}

// A host that never returns from a call is killed at the stop deadline; what it did not
// acknowledge stays in the journal and reaches the library after the next start, in order.
TEST(TIsolatedForwarderTest, AHostKilledAtTheStopLeavesWhatItDidNotAcknowledgeInTheJournal) {
  TFaultFile calls;
  const std::string journal = calls.Dir() + "journal";
  {
    TLogForwarder forwarder("Fault", KELVRA_FAULT_FORWARDER, IsolatedLimits(), journal);
    Offer(forwarder, "r1");
    ASSERT_TRUE(calls.WaitForLast("r1"));
    Offer(forwarder, "hang");
    ASSERT_TRUE(calls.WaitForLast("hang"));
    Offer(forwarder, "r3");
    Offer(forwarder, "r4");
    EXPECT_EQ(Release(forwarder, 300ms), 0u);
    EXPECT_EQ(forwarder.Counts().Kept, 3u);
    EXPECT_EQ(forwarder.Counts().Delivered, 1u);
    std::vector<std::string> report;
    forwarder.TakeReport(report);
    EXPECT_NE(Joined(report).find("did not end in time: killed"), std::string::npos)
        << Joined(report);
    // Finalize never came: the host was inside the call.
    EXPECT_EQ(CountOf(calls.Lines(), "Finalize"), 0u);
  }
  TRecordingPluginProbe probe(KELVRA_RECORDING_FORWARDER, true);
  TLogForwarder next("Rec", KELVRA_RECORDING_FORWARDER, IsolatedLimits(), journal);
  EXPECT_EQ(next.Counts().Recovered, 3u);
  probe.WaitForLines("AddRecord|", 3);
  Release(next);
  std::vector<std::string> texts;
  for (const std::string& line : probe.Lines()) {
    if (line.rfind("AddRecord|", 0) == 0) {
      const std::size_t at = line.find("|Mod||") + 6;
      texts.push_back(line.substr(at, line.rfind('|') - at));
    }
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"hang", "r3", "r4"}));
}

// The library's counts come from its host while records flow; a host stuck even in
// LogProvider_Statistics is given the time-out, then its last counts are shown as such, and the
// caller goes on.
TEST(TIsolatedForwarderTest, StatisticsComeFromTheHostAndAStuckHostOnlyCostsTheTimeOut) {
  TFaultFile calls;
  TLogForwarderLimits limits = IsolatedLimits();
  limits.PluginHost.StatisticsTimeoutMs = 300;
  TLogForwarder forwarder("Fault", KELVRA_FAULT_FORWARDER, limits);
  for (const char* text : {"r1", "r2", "r3"}) {
    Offer(forwarder, text);
  }
  ASSERT_TRUE(calls.WaitForLast("r3"));
  // Counted by the library once the calls returned; asked until the host has seen the third.
  std::string line;
  for (int i = 0; i < 100 && line.find("sent 3,") == std::string::npos; ++i) {
    line = forwarder.StatisticsLine();
  }
  EXPECT_NE(line.find("; sent 3, acknowledged 3, spooled 0, dropped 0"), std::string::npos) << line;
  EXPECT_EQ(line.find("last known"), std::string::npos) << line;

  Offer(forwarder, "stuck");
  ASSERT_TRUE(calls.WaitForLast("stuck"));
  line = forwarder.StatisticsLine();
  EXPECT_NE(line.find("; sent 3, acknowledged 3, spooled 0, dropped 0 (last known, its host did "
                      "not answer)"),
            std::string::npos)
      << line;
  std::size_t lost = 0;
  forwarder.StopDelivery(In(200ms));
  EXPECT_TRUE(forwarder.FinishDelivery(In(200ms), lost));
  forwarder.Finalize();
  EXPECT_EQ(lost, 1u);  // the call that never returned
  // At the stop the host gave no counts after Finalize: the last known ones again.
  EXPECT_NE(forwarder.StatisticsLine().find("dropped 0 (last known"), std::string::npos)
      << forwarder.StatisticsLine();
}

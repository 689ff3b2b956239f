#include "logging/TIsolatedLogProducer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/TExternalLogProducer.h"
#include "logging/uPortableExecutable.h"
#include "platform/uExecutableMachine.h"
#include "tests/uTestDirectory.h"

namespace {

using namespace std::chrono;

// Short delays keep the tests fast; the restart test below uses the real ones.
TPluginHostOptions FastOptions() {
  TPluginHostOptions options;
  options.Program = KELVRA_PLUGIN_HOST;
  options.FirstRestartDelayMs = 20;
  options.MaxRestartDelayMs = 200;
  return options;
}

std::unique_ptr<TPluginProducer> MakeProducer(bool isolated, const std::string& library,
                                              const std::string& output,
                                              TPluginHostOptions options = FastOptions()) {
  if (isolated) {
    return std::make_unique<TIsolatedLogProducer>("", "10.0.0.5", "514", "SYSLOG", "syslog", output,
                                                  library, options);
  }
  return std::make_unique<TExternalLogProducer>("", "10.0.0.5", "514", "SYSLOG", "syslog", output,
                                                library);
}

// Waits up to 10 s until the file's last line is last.
std::vector<std::string> WaitForLast(const std::string& path, const std::string& last) {
  const auto deadline = steady_clock::now() + seconds(10);
  for (;;) {
    std::vector<std::string> lines = FileLines(path);
    if ((!lines.empty() && lines.back() == last) || steady_clock::now() > deadline) {
      return lines;
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
}

std::size_t Release(std::unique_ptr<TPluginProducer>& producer,
                    milliseconds timeout = milliseconds(5000)) {
  std::size_t lost = 0;
  const auto deadline = steady_clock::now() + timeout;
  producer->StopDelivery(deadline);
  EXPECT_TRUE(producer->FinishDelivery(deadline, lost));
  std::vector<std::string> report;
  producer->TakeReport(report);
  for (const std::string& line : report) {
    std::printf("report: %s\n", line.c_str());
  }
  producer.reset();
  return lost;
}

// A producer whose plug-in hangs in the call for "hang", with "never" queued behind it.
std::unique_ptr<TIsolatedLogProducer> HangingProducer(const std::string& output) {
  auto producer = std::make_unique<TIsolatedLogProducer>("", "h", "0", "a", "m", output,
                                                         KELVRA_FAULT_PLUGIN, FastOptions());
  producer->AddMessage("hang", 0, 0);
  producer->AddMessage("never", 0, 0);
  WaitForLast(output, "hang");
  return producer;
}

// The calls a plug-in sees are the same in both modes.
class PluginModeTest : public testing::TestWithParam<bool> {};

TEST_P(PluginModeTest, InitializesDeliversInOrderAndFinalizesLast) {
  TTestDirectory dir;
  const std::string output = dir.File("calls.txt");
  auto producer = MakeProducer(GetParam(), KELVRA_FAULT_PLUGIN, output);
  EXPECT_EQ(producer->LoadProblem(), "");
  constexpr int Count = 500;
  for (int i = 0; i < Count; ++i) {
    producer->AddMessage("m" + std::to_string(i), 1, 2);
  }
  using namespace std::string_view_literals;
  producer->AddMessage("ab\0cd"sv, 1, 2);
  producer->AddMessage("", 1, 2);
  // Stopped at once, perhaps before its thread has begun: everything queued is still delivered.
  EXPECT_EQ(Release(producer), 0u);

  const std::vector<std::string> lines = FileLines(output);
  ASSERT_EQ(lines.size(), 4u + Count);
  EXPECT_EQ(lines.front(), "Initialize||10.0.0.5|514|SYSLOG|syslog");
  for (int i = 0; i < Count; ++i) {
    EXPECT_EQ(lines[1 + i], "m" + std::to_string(i));
  }
  EXPECT_EQ(lines[1 + Count], "ab");
  EXPECT_EQ(lines[2 + Count], "");
  EXPECT_EQ(lines.back(), "Finalize");
}

TEST_P(PluginModeTest, UnusableLibrariesAreNamedAndTheirRecordsDropped) {
  struct Case {
    const char* library;
    const char* problem;  // part of LoadProblem()
  };
  const Case cases[] = {
      {KELVRA_NO_ADD_MESSAGE_PLUGIN, "no export LogProvider_AddMessage"},
      {"/nonexistent/libNothing.so", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    auto producer = MakeProducer(GetParam(), c.library, "");
    EXPECT_NE(producer->LoadProblem(), "");
    EXPECT_NE(producer->LoadProblem().find(c.problem), std::string::npos);
    producer->AddMessage("lost", 0, 0);
    EXPECT_LE(Release(producer), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, PluginModeTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& mode) {
                           return mode.param ? std::string("Isolated") : std::string("InProcess");
                         });

TEST(TIsolatedLogProducerTest, APoisonedRecordIsSkippedAfterTwoCrashesAndTheStreamGoesOn) {
  TTestDirectory dir;
  const std::string output = dir.File("calls.txt");
  // The real delays: the figures printed are the restart timings.
  TPluginHostOptions options;
  options.Program = KELVRA_PLUGIN_HOST;
  auto made = std::make_unique<TIsolatedLogProducer>("", "10.0.0.5", "514", "SYSLOG", "syslog",
                                                     output, KELVRA_FAULT_PLUGIN, options);
  TIsolatedLogProducer& producer = *made;
  const auto start = steady_clock::now();
  for (const char* text : {"m1", "m2", "segv", "m4", "m5"}) {
    producer.AddMessage(text, 0, 0);
  }
  const std::vector<std::string> lines = WaitForLast(output, "m5");
  const auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
  std::printf("poisoned record: 2 restarts, m5 delivered %lld ms after the first record\n",
              static_cast<long long>(took));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "m5") << Joined(lines);
  EXPECT_EQ(CountOf(lines, "segv"), 2u) << Joined(lines);
  EXPECT_EQ(CountOf(lines, "m4"), 1u);
  EXPECT_GE(CountOf(lines, "m1"), 1u);
  EXPECT_EQ(CountOf(lines, "Initialize||10.0.0.5|514|SYSLOG|syslog"), 3u);
  EXPECT_EQ(producer.Skipped(), 1u);
  EXPECT_EQ(producer.Restarts(), 2u);
  // Back-off 1 s, then 2 s.
  EXPECT_GE(took, 3000);
  std::vector<std::string> report;
  producer.TakeReport(report);
  ASSERT_GE(report.size(), 4u) << Joined(report);
  EXPECT_EQ(
      report[0].rfind(
          std::string("plug-in host for \"") + KELVRA_FAULT_PLUGIN + "\" started: process ", 0),
      0u)
      << report[0];
  EXPECT_NE(report[1].find(std::string("\"") + KELVRA_FAULT_PLUGIN + "\" ended: "),
            std::string::npos)
      << report[1];
  EXPECT_NE(Joined(report).find("record skipped (1 in all)"), std::string::npos) << Joined(report);
  std::unique_ptr<TPluginProducer> owned = std::move(made);
  EXPECT_EQ(Release(owned), 0u);
}

TEST(TIsolatedLogProducerTest, AHostThatAbortsOrExitsIsStartedAgain) {
  struct Case {
    const char* text;
    const char* ending;  // in the report line
  };
  const Case cases[] = {{"abort", "ended: "}, {"exit", "ended: exit code 3"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TTestDirectory dir;
    const std::string output = dir.File("calls.txt");
    auto made = std::make_unique<TIsolatedLogProducer>("", "h", "0", "a", "m", output,
                                                       KELVRA_FAULT_PLUGIN, FastOptions());
    TIsolatedLogProducer& producer = *made;
    producer.AddMessage("before", 0, 0);
    producer.AddMessage(c.text, 0, 0);
    producer.AddMessage("after", 0, 0);
    const std::vector<std::string> lines = WaitForLast(output, "after");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "after") << Joined(lines);
    EXPECT_EQ(producer.Skipped(), 1u);
    EXPECT_GE(producer.Restarts(), 1u);
    std::vector<std::string> report;
    producer.TakeReport(report);
    EXPECT_NE(Joined(report).find(c.ending), std::string::npos) << Joined(report);
    std::unique_ptr<TPluginProducer> owned = std::move(made);
    Release(owned);
  }
}

TEST(TIsolatedLogProducerTest, AHostHangingAtStopIsKilledWithinTheTimeOut) {
  TTestDirectory dir;
  const std::string output = dir.File("calls.txt");
  auto made = HangingProducer(output);
  TIsolatedLogProducer& producer = *made;
  const auto start = steady_clock::now();
  std::size_t lost = 0;
  const auto deadline = start + milliseconds(300);
  producer.StopDelivery(deadline);
  EXPECT_TRUE(producer.FinishDelivery(deadline, lost));
  const auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
  EXPECT_LT(took, 3000);
  EXPECT_EQ(lost, 2u);
  std::vector<std::string> report;
  producer.TakeReport(report);
  EXPECT_NE(Joined(report).find("did not end in time: killed"), std::string::npos)
      << Joined(report);
  made.reset();
  EXPECT_EQ(CountOf(FileLines(output), "Finalize"), 0u);
}

// The owner kills a host its delivery thread has not given up on yet (a thread that is late on a
// busy machine): that is the stop's kill, not a crash, and no host is started again.
TEST(TIsolatedLogProducerTest, AHostKilledByTheOwnersStopIsNotTakenForACrash) {
  TTestDirectory dir;
  const std::string output = dir.File("calls.txt");
  auto made = HangingProducer(output);
  TIsolatedLogProducer& producer = *made;
  const auto start = steady_clock::now();
  producer.StopDelivery(start + seconds(60));
  std::size_t lost = 0;
  EXPECT_TRUE(producer.FinishDelivery(start + milliseconds(100), lost));
  EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 5000);
  EXPECT_EQ(lost, 2u);
  std::vector<std::string> report;
  producer.TakeReport(report);
  const std::string said = Joined(report);
  EXPECT_NE(said.find("did not end in time: killed"), std::string::npos) << said;
  EXPECT_EQ(said.find("restart in"), std::string::npos) << said;
  EXPECT_EQ(said.find("started again"), std::string::npos) << said;
  EXPECT_EQ(producer.Restarts(), 0u);
}

TEST(TIsolatedLogProducerTest, AStuckHostHoldsNoMoreThanTheQueueLimit) {
  TTestDirectory dir;
  const std::string output = dir.File("calls.txt");
  TPluginHostOptions options = FastOptions();
  options.MaxQueuedMessages = 5;
  auto made = std::make_unique<TIsolatedLogProducer>("", "h", "0", "a", "m", output,
                                                     KELVRA_FAULT_PLUGIN, options);
  TIsolatedLogProducer& producer = *made;
  producer.AddMessage("hang", 0, 0);
  WaitForLast(output, "hang");
  for (int i = 0; i < 20; ++i) {
    producer.AddMessage("m" + std::to_string(i), 0, 0);
  }
  EXPECT_EQ(producer.Dropped(), 15u);
  std::vector<std::string> report;
  producer.TakeReport(report);
  ASSERT_EQ(report.size(), 2u);  // the host's start, the drops
  EXPECT_NE(report[1].find("15 records dropped"), std::string::npos) << report[1];
  std::size_t lost = 0;
  const auto deadline = steady_clock::now() + milliseconds(100);
  producer.StopDelivery(deadline);
  EXPECT_TRUE(producer.FinishDelivery(deadline, lost));
  EXPECT_EQ(lost, 6u);  // the hanging one and the five queued
}

// The host program for a library: only a 64-bit Windows server gives a 32-bit DLL the 32-bit host.
TEST(TIsolatedLogProducerTest, The32BitHostIsChosenForA32BitDllOn64BitWindowsOnly) {
  TTestDirectory dir;
  const std::string dll32 = dir.File("Old32.dll");
  const std::string dll64 = dir.File("New64.dll");
  const auto image = [](std::uint16_t machine) {
    std::string bytes(0x200, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = static_cast<char>(0x80);
    bytes.replace(0x80, 4, std::string("PE\0\0", 4));
    bytes[0x84] = static_cast<char>(machine & 0xFF);
    bytes[0x85] = static_cast<char>(machine >> 8);
    return bytes;
  };
  WriteTextFile(dll32, image(PortableExecutableI386));
  WriteTextFile(dll64, image(PortableExecutableAmd64));
  const std::string elf = KELVRA_FAULT_PLUGIN;
  struct Case {
    const char* name;
    std::string library;
    std::uint16_t process;
    std::string program32;  // configured, or empty for the default beside the executable
    std::string expected;
    bool needs32;
  };
  const std::string suffix = ExecutableSuffix;
  const Case cases[] = {
      {"32-bit DLL, 64-bit server", dll32, PortableExecutableAmd64, "",
       "/srv/KelvraPluginHost32" + suffix, true},
      {"32-bit DLL, host given", dll32, PortableExecutableAmd64, "/opt/h32", "/opt/h32", true},
      {"64-bit DLL, 64-bit server", dll64, PortableExecutableAmd64, "",
       "/srv/KelvraPluginHost" + suffix, false},
      {"32-bit DLL, 32-bit server", dll32, PortableExecutableI386, "",
       "/srv/KelvraPluginHost" + suffix, false},
      {"not a PE file, 64-bit server", elf, PortableExecutableAmd64, "",
       "/srv/KelvraPluginHost" + suffix, false},
      {"missing file, 64-bit server", dir.File("missing.dll"), PortableExecutableAmd64, "",
       "/srv/KelvraPluginHost" + suffix, false},
      {"32-bit DLL, no PE platform", dll32, 0, "", "/srv/KelvraPluginHost" + suffix, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPluginHostOptions options;
    options.Program32 = c.program32;
    bool needs32 = !c.needs32;
    EXPECT_EQ(PluginHostProgram(options, c.library, c.process, "/srv/", needs32), c.expected);
    EXPECT_EQ(needs32, c.needs32);
  }
}

TEST(TIsolatedLogProducerTest, AMissingHostProgramIsALoadProblem) {
  TPluginHostOptions options = FastOptions();
  options.Program = "/nonexistent/KelvraPluginHost";
  std::unique_ptr<TPluginProducer> producer = MakeProducer(true, KELVRA_FAULT_PLUGIN, "", options);
  EXPECT_EQ(producer->LoadProblem(),
            "cannot start plug-in host \"/nonexistent/KelvraPluginHost\": no such file");
  producer->AddMessage("lost", 0, 0);
  Release(producer);
}

}  // namespace

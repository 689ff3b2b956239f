#include "server/uMainThread.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/uLocale.h"
#include "tests/uTestDirectory.h"

namespace {

// 7 March 2024 14:05:09.120
const TDateTime Moment = EncodeDateTime(2024, 3, 7, 14, 5, 9, 120);

TEST(tMainThreadTest, WriteLogStampsEveryLineAndDropsVerboseLinesBelowLogMode1) {
  const char sep = ProcessFormatSettings().TimeSeparator;
  const std::string stamp = std::string("07.03.2024 14") + sep + "05" + sep + "09" + sep + "120 : ";
  const struct {
    int LogMode;
    bool Verbose;
  } cases[] = {{-1, false}, {0, false}, {1, true}, {2, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE("LogMode " + std::to_string(c.LogMode));
    TTestDirectory dir;
    WriteTextFile(dir.File("LogServer.conf"),
                  "[Common]\nLogMode=" + std::to_string(c.LogMode) + "\n");
    tMainThread control({dir.File("server.bin"), [] { return 1u; }, [] { return Moment; }});
    control.WriteLog(false, "before the log is open");
    control.ReadConfiguration();
    EXPECT_EQ(control.LogMode(), c.LogMode);
    control.OpenDiagnosticLog();
    control.WriteLog(false, "Log Server started");
    control.WriteLog(true, "CLIENT CONNECTED: [127.0.0.1:5000]");
    control.CloseDiagnosticLog();
    control.WriteLog(false, "after the log is closed");

    std::string expected = stamp + "Log Server started\r\n";
    if (c.Verbose) {
      expected += stamp + "CLIENT CONNECTED: [127.0.0.1:5000]\r\n";
    }
    EXPECT_EQ(ReadTextFile(dir.Dir() + "Logs/0.0.0.0/server.bin/server.bin/2024_03_07/14.log"),
              expected);
  }
}

TEST(tMainThreadTest, StopRequestedBeforeServingNeedsNoQueue) {
  TTestDirectory dir;
  tMainThread control({dir.File("server.bin"), nullptr, nullptr});
  EXPECT_FALSE(control.StopRequested());
  control.WakeMainLoop();
  control.RequestStop();
  EXPECT_TRUE(control.StopRequested());
}

}  // namespace

namespace {

TEST(OpenLogFileBoundTest, LeavesAReserveAndAQuarterOfTheRestForSockets) {
  struct {
    std::size_t Limit;
    std::size_t Bound;
  } const cases[] = {
      {0, 65536},            // no limit
      {100, 16},             // less than the reserve: still a few files
      {1024, 576},           // the usual soft limit
      {14'000, 10'308},      // 10,000 live streams and 3,436 descriptors: 1,718 connections
      {20'000, 14'808},      // a hard limit below the usual one
      {1'048'576, 786'240},  // the usual hard limit, raised at start
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OpenLogFileBound(c.Limit), c.Bound) << c.Limit;
  }
  // The bound never exceeds what the process may hold.
  for (std::size_t limit = 1; limit < 2000; limit += 37) {
    EXPECT_LT(OpenLogFileBound(limit), std::max<std::size_t>(limit, 17)) << limit;
  }
}

}  // namespace

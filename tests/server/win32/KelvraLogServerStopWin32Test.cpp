// The server end to end on Windows: a plain process stops, with the whole stop sequence logged, on
// the stop request another process sends (its stop event) and on the test's interrupt (Ctrl+Break
// to its process group, or the stop event where the console cannot carry it, as under Wine), the
// way the service stop control stops the service. The console's Ctrl+C itself is checked by
// tests/wine/RunServerUnderWine.sh, which sends it from outside.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uStopSignals.h"
#include "tests/server/uServerUnderTest.h"

namespace {

using namespace e2e;

const std::vector<std::string> StopLines = {
    "Log Server started",
    "Have normal TERM SIGNAL",
    "STOPPING CONECTION CONTROLLER...",
    "STOPPED CONECTION CONTROLLER...OK",
    "STOPPING NET TPKT SERVER...",
    "STOPPED NET TPKT SERVER...OK",
    "STOPPING NET SYSLOG SERVER...",
    "STOPPED NET SYSLOG SERVER...OK",
    "STOPPING LOG QUEUE...",
    "STOPPED LOG QUEUE...OK",
    "STOPPING LOG PRODUCER...",
    "STOPPED LOG PRODUCER...OK",
    "Log Server stopped",
};

TEST(KelvraLogServerStopWin32Test, AStopRequestRunsTheWholeStopSequenceInOrder) {
  TServerUnderTest server;
  server.Configure("LogMode=0\n");
  server.StartAndWaitForListener();

  ASSERT_EQ(SendStopRequest(server.Process().Id()), 0);

  ASSERT_TRUE(server.Process().WaitFor(30'000));
  EXPECT_EQ(server.Process().ExitCode(), 0) << server.Output();
  EXPECT_EQ(Messages(server.DiagnosticLog()), StopLines);
  EXPECT_EQ(server.Output(), "");
}

TEST(KelvraLogServerStopWin32Test, AnInterruptRunsTheWholeStopSequenceInOrder) {
  TServerUnderTest server;
  server.Configure("LogMode=0\n");
  server.StartAndWaitForListener();

  server.Process().Interrupt();

  ASSERT_TRUE(server.Process().WaitFor(30'000));
  EXPECT_EQ(server.Process().ExitCode(), 0) << server.Output();
  EXPECT_EQ(Messages(server.DiagnosticLog()), StopLines);
}

TEST(KelvraLogServerStopWin32Test, AStopRequestToAProcessThatWatchesForNoneFailsWith2) {
  TChildProcess::TOptions options;
  options.Program = KELVRA_TEST_CHILD;
  options.Arguments = {"sleep", "60000"};
  TChildProcess child(options);

  EXPECT_EQ(SendStopRequest(child.Id()), 2);  // ERROR_FILE_NOT_FOUND: no such stop event

  EXPECT_TRUE(child.Running());
  child.Kill();
  EXPECT_TRUE(child.WaitFor(30'000));
}

}  // namespace

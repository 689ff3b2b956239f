// The server end to end on POSIX: SIGTERM and SIGINT stop a plain process the way the service stop
// control does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server/uServerUnderTest.h"

namespace {

using namespace e2e;

TEST(KelvraLogServerTest, StopSignalsRunTheWholeStopSequenceInOrder) {
  for (const bool interrupt : {false, true}) {
    SCOPED_TRACE(interrupt ? "SIGINT" : "SIGTERM");
    TServerUnderTest server;
    server.Configure("LogMode=0\n");
    server.StartAndWaitForListener();
    if (interrupt) {
      server.Process().Interrupt();
    } else {
      server.Process().RequestStop();
    }
    ASSERT_TRUE(server.Process().WaitFor(30'000));
    EXPECT_EQ(server.Process().ExitCode(), 0) << server.Output();
    const std::vector<std::string> expected = {
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
    EXPECT_EQ(Messages(server.DiagnosticLog()), expected);
    EXPECT_EQ(server.Output(), "");
  }
}

}  // namespace

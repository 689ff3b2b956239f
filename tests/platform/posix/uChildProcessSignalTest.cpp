// TChildProcess on POSIX: a stop request is a signal, and the end by a signal is reported as one.
#include <gtest/gtest.h>

#include "platform/uChildProcess.h"

namespace {

TEST(TChildProcessSignalTest, StopRequestEndsAProgramThatDoesNotHandleItBySignal) {
  TChildProcess child({KELVRA_TEST_CHILD, {"sleep", "60000"}, "", {}, ""});
  EXPECT_TRUE(child.Running());
  EXPECT_GT(ProcessPeakMemory(child.Id()), 0u);
  child.RequestStop();
  ASSERT_TRUE(child.WaitFor(10'000));
  EXPECT_EQ(child.ExitCode(), -1);
  EXPECT_NE(child.TermSignal(), 0);
}

TEST(TChildProcessSignalTest, KillEndsTheChildBySignal) {
  TChildProcess child({KELVRA_TEST_CHILD, {"sleep", "60000"}, "", {}, ""});
  child.Kill();
  ASSERT_TRUE(child.WaitFor(10'000));
  EXPECT_EQ(child.ExitCode(), -1);
  EXPECT_NE(child.TermSignal(), 0);
}

}  // namespace

#include "platform/TThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "platform/TEvent.h"
#include "platform/TSemaphore.h"

namespace {

class CountingThread : public TThread {
 public:
  explicit CountingThread(bool start) {
    if (start) {
      Start();
    }
  }
  ~CountingThread() override { TerminateAndWait(); }
  std::atomic<int> Passes{0};
  bool ThrowInBody = false;

 protected:
  void Execute() override {
    if (ThrowInBody) {
      throw std::runtime_error("body failed");
    }
    while (!Terminated()) {
      ++Passes;
      std::this_thread::yield();
    }
  }
};

TEST(TThreadTest, RunsUntilTerminatedAndWaits) {
  CountingThread thread(true);
  while (thread.Passes.load() == 0) {
    std::this_thread::yield();
  }
  thread.Terminate();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
}

TEST(TThreadTest, StopRequestedBeforeStartSkipsTheBody) {
  CountingThread thread(false);
  thread.Terminate();
  thread.Start();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_EQ(thread.Passes.load(), 0);
}

TEST(TThreadTest, WaitForOnASuspendedThreadReturns) {
  CountingThread thread(false);
  thread.WaitFor();
  EXPECT_FALSE(thread.Finished());
}

TEST(TThreadTest, AnExceptionStaysInsideTheThread) {
  CountingThread thread(false);
  thread.ThrowInBody = true;
  thread.Start();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_NE(thread.FatalException(), nullptr);
}

TEST(TEventTest, ManualResetStaysSetUntilReset) {
  TEvent event;
  EXPECT_FALSE(event.WaitFor(0));
  event.Set();
  EXPECT_TRUE(event.WaitFor(0));
  EXPECT_TRUE(event.WaitFor(0));
  event.Reset();
  EXPECT_FALSE(event.WaitFor(10));
}

TEST(TEventTest, ReleasesAWaiterOnAnotherThread) {
  TEvent event;
  std::thread setter([&] { event.Set(); });
  event.WaitFor();
  setter.join();
  EXPECT_TRUE(event.IsSet());
}

TEST(TSemaphoreTest, CountsAndRespectsTheMaximum) {
  TSemaphore semaphore(0, 2);
  EXPECT_FALSE(semaphore.WaitFor(0));
  EXPECT_TRUE(semaphore.Release());
  EXPECT_TRUE(semaphore.Release());
  EXPECT_FALSE(semaphore.Release());
  EXPECT_EQ(semaphore.Count(), 2);
  EXPECT_TRUE(semaphore.WaitFor(0));
  EXPECT_TRUE(semaphore.WaitFor(0));
  EXPECT_FALSE(semaphore.WaitFor(5));
}

// A body held by an event: a timed wait gives up while it runs and joins once it has returned.
class HeldThread : public TThread {
 public:
  HeldThread() { Start(); }
  ~HeldThread() override {
    Release.Set();
    TerminateAndWait();
  }
  TEvent Release;

 protected:
  void Execute() override { Release.WaitFor(); }
};

TEST(TThreadTest, TimedWaitForGivesUpOnARunningBodyAndJoinsAnEndedOne) {
  HeldThread thread;
  EXPECT_FALSE(thread.WaitFor(50u));
  EXPECT_FALSE(thread.Finished());
  thread.Release.Set();
  EXPECT_TRUE(thread.WaitFor(30'000u));
  EXPECT_TRUE(thread.Finished());

  CountingThread never(false);
  EXPECT_TRUE(never.WaitFor(10u));
}

TEST(TThreadTest, AnAbandonedBodyRunsOnAndTheObjectCanGoOnceItHasEnded) {
  auto thread = std::make_unique<HeldThread>();
  thread->Abandon();
  EXPECT_FALSE(thread->Finished());
  thread->Release.Set();
  for (int i = 0; i < 3000 && !thread->Finished(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(thread->Finished());
  thread.reset();  // no join is left to wait for
}

}  // namespace

#include "server/tControlConnectionsProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(tControlConnectionsProcessTest, TicksRepeatedly) {
  std::atomic<int> ticks{0};
  {
    tControlConnectionsProcess controller([&] { ++ticks; }, 5);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ticks.load() < 3 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
  }
  EXPECT_GE(ticks.load(), 3);
}

TEST(tControlConnectionsProcessTest, DestructionWakesASleepingThreadWithoutTicking) {
  std::atomic<int> ticks{0};
  const auto started = std::chrono::steady_clock::now();
  {
    tControlConnectionsProcess controller([&] { ++ticks; }, 600'000);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
  EXPECT_EQ(ticks.load(), 0);
}

}  // namespace

#include "tools/TSendPacer.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;

// Batches are about half a millisecond at the rate, between one item and the most allowed.
TEST(SendPacerTest, TheBatchFollowsTheRate) {
  struct Case {
    double rate;
    int maxBatch;
    int expected;
  };
  const Case cases[] = {
      {0, 64, 64},                          // flat out: the largest batch
      {100'000, 64, 50},                    // 0.5 ms at 100k/s
      {120'000, 64, 60},                    //
      {1'000'000, 64, 64}, {1'000, 64, 1},  // slower than one item per span: one at a time
      {100'000, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    EXPECT_EQ(TSendPacer(c.rate, c.maxBatch).Batch(0, 1'000'000), c.expected);
  }
}

// The last batch holds only what is left; nothing is left, nothing is sent.
TEST(SendPacerTest, TheLastBatchIsWhatIsLeft) {
  const TSendPacer pacer(100'000, 64);
  EXPECT_EQ(pacer.Batch(990, 1'000), 10);
  EXPECT_EQ(pacer.Batch(1'000, 1'000), 0);
  EXPECT_EQ(pacer.Batch(1'200, 1'000), 0);
}

// Item n is due n / rate after the start, so the run keeps the rate; flat out, all at once.
TEST(SendPacerTest, ABatchIsDueWhenItsFirstItemIs) {
  const auto started = TSendPacer::Clock::time_point{} + 1h;
  const TSendPacer paced(100'000, 64);
  EXPECT_EQ(paced.Due(started, 0), started);
  EXPECT_EQ(paced.Due(started, 50), started + 500us);
  EXPECT_EQ(paced.Due(started, 120'000), started + 1200ms);
  const TSendPacer flat(0, 64);
  EXPECT_EQ(flat.Due(started, 1'000'000), started);
}

}  // namespace

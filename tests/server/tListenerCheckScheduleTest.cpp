#include "server/tListenerCheckSchedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(tListenerCheckScheduleTest, DueEveryThreeSecondsAcrossTheWrapAndNeverAtTickZero) {
  struct Step {
    std::uint32_t Tick;
    bool Due;
  };
  const struct {
    const char* Name;
    std::vector<Step> Steps;
  } cases[] = {
      {"first pass after start-up", {{5000, true}, {5001, false}, {7999, false}, {8000, true}}},
      {"system younger than 3 s", {{1, false}, {2999, false}, {3000, true}}},
      {"tick 0 skips a due check", {{0, false}, {0xFFFFF000u, true}, {0, false}, {1, true}}},
      {"wrap",
       {{0xFFFFFF00u, true}, {0xFFFFFFFFu, false}, {0x100u, false}, {2743, false}, {2744, true}}},
  };
  for (const auto& c : cases) {
    tListenerCheckSchedule schedule;
    for (const Step& step : c.Steps) {
      EXPECT_EQ(schedule.Due(step.Tick), step.Due) << c.Name << " at " << step.Tick;
      if (schedule.Due(step.Tick)) {
        schedule.Checked(step.Tick);
      }
    }
  }
}

}  // namespace

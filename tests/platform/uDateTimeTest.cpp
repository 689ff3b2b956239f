#include "platform/uDateTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

struct DecodeCase {
  TDateTime value;
  TDateTimeParts expected;
};

TEST(uDateTimeTest, DecodesDatesTimesAndWeekdays) {
  const DecodeCase cases[] = {
      {0.0, {1899, 12, 30, 0, 0, 0, 0, 7}},   {1.0, {1899, 12, 31, 0, 0, 0, 0, 1}},
      {45358.0, {2024, 3, 7, 0, 0, 0, 0, 5}}, {45358.5, {2024, 3, 7, 12, 0, 0, 0, 5}},
      {-1.25, {1899, 12, 29, 6, 0, 0, 0, 6}}, {2.0, {1900, 1, 1, 0, 0, 0, 0, 2}},
      {60.0, {1900, 2, 28, 0, 0, 0, 0, 4}},   {61.0, {1900, 3, 1, 0, 0, 0, 0, 5}},
      {-693593.0, {1, 1, 1, 0, 0, 0, 0, 2}},  {2958465.0, {9999, 12, 31, 0, 0, 0, 0, 6}},
  };
  for (const auto& c : cases) {
    const TDateTimeParts p = DecodeDateTime(c.value);
    SCOPED_TRACE(c.value);
    EXPECT_EQ(p.Year, c.expected.Year);
    EXPECT_EQ(p.Month, c.expected.Month);
    EXPECT_EQ(p.Day, c.expected.Day);
    EXPECT_EQ(p.Hour, c.expected.Hour);
    EXPECT_EQ(p.Minute, c.expected.Minute);
    EXPECT_EQ(p.Second, c.expected.Second);
    EXPECT_EQ(p.Millisecond, c.expected.Millisecond);
    EXPECT_EQ(p.DayOfWeek, c.expected.DayOfWeek);
  }
}

TEST(uDateTimeTest, EncodeAndDecodeAgreeToTheMillisecond) {
  const TDateTime value = EncodeDateTime(2024, 3, 7, 14, 5, 9, 120);
  const TDateTimeParts p = DecodeDateTime(value);
  EXPECT_EQ(p.Year, 2024);
  EXPECT_EQ(p.Month, 3);
  EXPECT_EQ(p.Day, 7);
  EXPECT_EQ(p.Hour, 14);
  EXPECT_EQ(p.Minute, 5);
  EXPECT_EQ(p.Second, 9);
  EXPECT_EQ(p.Millisecond, 120);
  EXPECT_EQ(TruncateToHour(value), EncodeDateTime(2024, 3, 7, 14, 0, 0, 0));
}

TEST(uDateTimeTest, HalfAMillisecondBeforeMidnightIsTheNextDay) {
  const TDateTime lastMillisecond = EncodeDateTime(2024, 3, 7, 23, 59, 59, 999);
  const TDateTimeParts before = DecodeDateTime(lastMillisecond);
  EXPECT_EQ(before.Day, 7);
  EXPECT_EQ(before.Millisecond, 999);
  const TDateTimeParts after =
      DecodeDateTime(EncodeDateTime(2024, 3, 8, 0, 0, 0, 0) - 0.4 / MillisecondsPerDay);
  EXPECT_EQ(after.Day, 8);
  EXPECT_EQ(after.Hour, 0);
  EXPECT_EQ(after.Millisecond, 0);
}

TEST(uDateTimeTest, ClocksMove) {
  const TDateTime now = LocalNow();
  EXPECT_GT(now, 45000.0);
  const std::uint32_t first = GetTickCount32();
  std::uint32_t second = first;
  for (int i = 0; i < 200 && second == first; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    second = GetTickCount32();
  }
  EXPECT_NE(first, second);
}

// The cached clock reads what LocalNow reads, also across seconds (the cache is renewed).
TEST(uDateTimeTest, CachedLocalNowAgreesWithLocalNowAcrossSeconds) {
  TLocalTimeCache cache;
  const auto start = std::chrono::steady_clock::now();
  TDateTime last = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1200)) {
    const TDateTime before = LocalNow();
    const TDateTime cached = CachedLocalNow(cache);
    const TDateTime after = LocalNow();
    ASSERT_GE(cached, before);
    ASSERT_LE(cached, after);
    ASSERT_GE(cached, last);
    last = cached;
    std::this_thread::sleep_for(std::chrono::milliseconds(7));
  }
}

}  // namespace

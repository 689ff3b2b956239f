#pragma once

#include <cstdint>

// Date-times are OLE Automation dates: days since 30 December 1899 as the integer part, the time
// of day as the fraction, always local time. 0 means "none" where a time stamp is optional.
using TDateTime = double;

struct TDateTimeParts {
  int Year = 0;
  int Month = 0;  // 1..12
  int Day = 0;    // 1..31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
  int DayOfWeek = 0;  // 1 = Sunday .. 7 = Saturday
};

// Whole days between 1 January of year 1 (day 1) and 30 December 1899.
inline constexpr std::int64_t DateDelta = 693594;
inline constexpr std::int64_t MillisecondsPerDay = 86'400'000;

// Decodes a date-time: milliseconds rounded half to even, so a value within half a millisecond
// before midnight shows the next day at 00:00:00.000.
//   45358.587 => 2024-03-07 14:05:16.800, Thursday (5)
TDateTimeParts DecodeDateTime(TDateTime value);

// The inverse for a proleptic Gregorian date and a time of day.
TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond);

// The date-time with its time of day cleared to the whole hour: 14:05:16.800 => 14:00:00.000.
TDateTime TruncateToHour(TDateTime value);

// The current local time, to the millisecond. Any thread.
TDateTime LocalNow();

// What CachedLocalNow keeps of the last second it converted, so that a clock read many times a
// second converts to local time once per second. One thread per cache.
struct TLocalTimeCache {
  std::int64_t Second = -1;  // the platform's seconds count of the fields below; -1: none yet
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Seconds = 0;
};

// LocalNow, converting to local time only when the second has changed since the cache's last
// use; the value is the same as LocalNow's. The cache's thread.
TDateTime CachedLocalNow(TLocalTimeCache& cache);

// Milliseconds since an arbitrary start, truncated to 32 bits: it wraps about every 49.7 days, so
// intervals are taken modulo 2^32. Any thread.
std::uint32_t GetTickCount32();

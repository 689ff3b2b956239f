#include "platform/uDateTime.h"

#include <cmath>
#include <cstdlib>

namespace {

// 1 January 1970 as a day number counted from 1 January of year 1 = day 1.
constexpr std::int64_t UnixEpochDayNumber = 25569 + DateDelta;

// Days since 1970-01-01 for a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, TDateTimeParts& parts) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  parts.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  parts.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  parts.Year = static_cast<int>(yoe + era * 400 + (parts.Month <= 2 ? 1 : 0));
}

}  // namespace

TDateTimeParts DecodeDateTime(TDateTime value) {
  TDateTimeParts parts;
  // nearbyint rounds half to even under the default rounding mode.
  const double scaled = std::nearbyint(value * static_cast<double>(MillisecondsPerDay));
  if (!std::isfinite(scaled) || std::fabs(scaled) > 9.0e18) {
    return parts;
  }
  const auto total = static_cast<std::int64_t>(scaled);
  const std::int64_t timeOfDay = std::llabs(total) % MillisecondsPerDay;
  parts.Hour = static_cast<int>(timeOfDay / 3'600'000);
  parts.Minute = static_cast<int>(timeOfDay / 60'000 % 60);
  parts.Second = static_cast<int>(timeOfDay / 1000 % 60);
  parts.Millisecond = static_cast<int>(timeOfDay % 1000);

  const std::int64_t dayNumber = total / MillisecondsPerDay + DateDelta;
  CivilFromDays(dayNumber - UnixEpochDayNumber, parts);
  parts.DayOfWeek = static_cast<int>(((dayNumber % 7) + 7) % 7) + 1;
  return parts;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  const std::int64_t dayNumber = DaysFromCivil(year, month, day) + UnixEpochDayNumber;
  const auto date = static_cast<double>(dayNumber - DateDelta);
  const double time =
      static_cast<double>(((hour * 60LL + minute) * 60 + second) * 1000 + millisecond) /
      static_cast<double>(MillisecondsPerDay);
  // Dates before 30 December 1899 keep a positive time of day behind a negative day count.
  return date < 0 ? date - time : date + time;
}

TDateTime TruncateToHour(TDateTime value) {
  const TDateTimeParts parts = DecodeDateTime(value);
  return EncodeDateTime(parts.Year, parts.Month, parts.Day, parts.Hour, 0, 0, 0);
}

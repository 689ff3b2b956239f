#include "platform/uDateTime.h"

#include <ctime>

TDateTime LocalNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return EncodeDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                        local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1'000'000));
}

TDateTime CachedLocalNow(TLocalTimeCache& cache) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (cache.Second != static_cast<std::int64_t>(now.tv_sec)) {
    tm local{};
    localtime_r(&now.tv_sec, &local);
    cache = {static_cast<std::int64_t>(now.tv_sec),
             local.tm_year + 1900,
             local.tm_mon + 1,
             local.tm_mday,
             local.tm_hour,
             local.tm_min,
             local.tm_sec};
  }
  return EncodeDateTime(cache.Year, cache.Month, cache.Day, cache.Hour, cache.Minute, cache.Seconds,
                        static_cast<int>(now.tv_nsec / 1'000'000));
}

std::uint32_t GetTickCount32() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u;
  return static_cast<std::uint32_t>(ms);
}

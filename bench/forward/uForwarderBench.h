#pragma once

// What the forwarder benchmarks share: the measure (wall and process CPU time), the printed line,
// the plain file path they are compared with, and one run of a forwarder library loaded as the
// server loads it and fed from one thread, as the server's forwarder thread feeds it.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "logging/TFileLogProducer.h"
#include "logging/uLogServerInterface.h"
#include "platform/uDynamicLibrary.h"

namespace forwardbench {

using Clock = std::chrono::steady_clock;

struct TFigures {
  double Seconds = 0;
  double CpuSeconds = 0;
};

// Starts at construction; Done gives the time since.
struct TMeasure {
  Clock::time_point Start = Clock::now();
  std::clock_t Cpu = std::clock();
  TFigures Done() const {
    return {std::chrono::duration<double>(Clock::now() - Start).count(),
            static_cast<double>(std::clock() - Cpu) / CLOCKS_PER_SEC};
  }
};

// "file producer                  123456 records/s     1.23 us CPU/record  (200000 records, ...)"
inline void Print(const char* path, int records, const TFigures& f) {
  std::printf("%-34s %10.0f records/s %8.2f us CPU/record  (%d records, %.2f s)\n", path,
              records / f.Seconds, f.CpuSeconds * 1e6 / records, records, f.Seconds);
}

// The record text of every run.
inline const std::string& Text() {
  static const std::string text(120, 'x');
  return text;
}

// The server's file producer writing records lines of Text into dir.
inline TFigures FilePath(const std::string& dir, int records) {
  TFileLogProducer producer(dir + "/", "10.0.0.1", "40000", "load", "m", "");
  const TDateTime now = LocalNow();
  const TMeasure measure;
  for (int i = 0; i < records; ++i) {
    producer.AddMessage(Text(), now, now);
  }
  return measure.Done();
}

// Loads the forwarder library at library (its settings file already beside it), sends one record
// and waits for its acknowledgement (the connection is up before the clock starts), then measures
// records more until the library's statistics count them all acknowledged (five minutes at most).
inline TFigures LibraryRun(const std::string& library, int records) {
  TDynamicLibrary loaded;
  if (!loaded.Load(library)) {
    std::fprintf(stderr, "%s\n", loaded.LoadError().c_str());
    std::exit(1);
  }
  auto initialize = loaded.Function<TLogProviderInitialize>("LogProvider_Initialize");
  auto add = loaded.Function<TLogProviderAddRecord>("LogProvider_AddRecord");
  auto finalize = loaded.Function<TLogProviderFinalize>("LogProvider_Finalize");
  auto statistics = loaded.Function<TLogProviderStatisticsFunction>("LogProvider_Statistics");
  initialize("", "", "", "", "", "");
  add(LocalNow(), LocalNow(), "10.0.0.1", 40000, "load", "warm", "", "warm-up");
  TLogProviderStatistics counts{};
  while (counts.acknowledged < 1) {
    statistics(&counts);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const TDateTime now = LocalNow();
  const TMeasure measure;
  for (int i = 0; i < records; ++i) {
    add(now, now, "10.0.0.1", 40000, "load", "m", "", Text().c_str());
  }
  const auto deadline = Clock::now() + std::chrono::minutes(5);
  while (counts.acknowledged < static_cast<unsigned long long>(records) + 1 &&
         Clock::now() < deadline) {
    statistics(&counts);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const TFigures figures = measure.Done();
  finalize();
  return figures;
}

}  // namespace forwardbench

// FormatTimeMask (reads the mask at every call) against TTimeMask (mask compiled once) for the
// masks the server formats for every record and every diagnostic line.
#include <benchmark/benchmark.h>

#include <string>

#include "logging/uFormatTimeMask.h"

namespace {

const char* const Masks[] = {"hh:nn:ss.zzz",
                             "[hh:nn:ss.zzz] : ", "dd.mm.yyyy hh:nn:ss:zzz : ", "yyyy_mm_dd", "hh"};

const TDateTime Sample = EncodeDateTime(2024, 3, 7, 14, 5, 9, 120);

void BM_FormatTimeMask(benchmark::State& state) {
  const std::string mask = Masks[state.range(0)];
  const TFormatSettings& settings = ProcessFormatSettings();
  TDateTime value = Sample;
  for (auto _ : state) {
    std::string text = FormatTimeMask(mask, value, settings);
    benchmark::DoNotOptimize(text);
    value += 1.0 / 86'400'000.0;
  }
  state.SetLabel(mask);
}

void BM_TTimeMaskFormat(benchmark::State& state) {
  const TTimeMask mask(Masks[state.range(0)]);
  TDateTime value = Sample;
  for (auto _ : state) {
    std::string text = mask.Format(value);
    benchmark::DoNotOptimize(text);
    value += 1.0 / 86'400'000.0;
  }
  state.SetLabel(Masks[state.range(0)]);
}

// The file producer's way: both stamps appended to one reused line buffer.
void BM_TTimeMaskAppendRecordStamps(benchmark::State& state) {
  const TTimeMask serverStamp("hh:nn:ss.zzz");
  const TTimeMask clientStamp("[hh:nn:ss.zzz] : ");
  std::string line;
  TDateTime value = Sample;
  for (auto _ : state) {
    line.clear();
    serverStamp.AppendTo(line, value);
    clientStamp.AppendTo(line, value);
    benchmark::DoNotOptimize(line.data());
    value += 1.0 / 86'400'000.0;
  }
}

void BM_FormatTimeMaskRecordStamps(benchmark::State& state) {
  std::string line;
  TDateTime value = Sample;
  for (auto _ : state) {
    line.clear();
    line += FormatTimeMask("hh:nn:ss.zzz", value);
    line += FormatTimeMask("[hh:nn:ss.zzz] : ", value);
    benchmark::DoNotOptimize(line.data());
    value += 1.0 / 86'400'000.0;
  }
}

BENCHMARK(BM_FormatTimeMask)->DenseRange(0, 4);
BENCHMARK(BM_TTimeMaskFormat)->DenseRange(0, 4);
BENCHMARK(BM_FormatTimeMaskRecordStamps);
BENCHMARK(BM_TTimeMaskAppendRecordStamps);

}  // namespace

BENCHMARK_MAIN();

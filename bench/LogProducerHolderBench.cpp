// Cost per record of tLogProducerHolder::RouteRecord with N live record streams: the routing
// (key building, hash lookups, the server clock) plus the file producer's line, appended to the
// stream's hourly file with one write call. With 10 or 10,000 streams the figure should be the
// same: lookups never scan the streams.
//
//   BM_RouteAndAppend/N      routing + one line appended to a real file (records round-robin)
//   BM_RouteOnly/N           the same streams whose files can't be opened: routing and the hour
//                            check only, no write
//   BM_RouteOverTheBound/N   N streams over the default bound of 4096 file producers: every
//                            record releases the least recently used producer and opens a file
//   BM_PlainAppend/N         the baseline: the same line written round-robin to N open files
//                            with nothing else, to tell the platform's cost from the holder's
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "logging/tLogProducerHolder.h"
#include "platform/uLogFile.h"
#include "platform/uProcess.h"

namespace {

namespace fs = std::filesystem;

struct TStream {
  std::string Address;
  std::string Port;
  std::string Application;
};

std::vector<TStream> MakeStreams(std::size_t count) {
  std::vector<TStream> streams;
  streams.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    streams.push_back({"10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1),
                       std::to_string(40000 + i % 1000), "App" + std::to_string(i % 7)});
  }
  return streams;
}

class TBenchDirectory {
 public:
  TBenchDirectory()
      : FPath(fs::temp_directory_path() /
              ("kelvra_holder_bench_" + std::to_string(std::random_device{}()))) {
    fs::create_directories(FPath);
  }
  ~TBenchDirectory() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
  }
  std::string Dir() const { return FPath.string() + "/"; }

 private:
  fs::path FPath;
};

void Run(benchmark::State& state, const std::string& baseCatalog, std::size_t maxFileProducers) {
  RaiseOpenFileLimit();
  const std::vector<TStream> streams = MakeStreams(static_cast<std::size_t>(state.range(0)));
  TLogProducerHolderOptions options;
  options.MaxFileProducers = maxFileProducers;
  tLogProducerHolder holder(baseCatalog, baseCatalog + "none/LogServer.conf", options);
  const std::string text = "GET /index.html HTTP/1.1 200 5120 0.004";
  const TDateTime clientTime = LocalNow();
  // Every stream is live before the measurement.
  for (const TStream& stream : streams) {
    holder.RouteRecord(stream.Address, stream.Port, stream.Application, "Module", "web", text,
                       clientTime);
  }
  std::size_t next = 0;
  for (auto _ : state) {
    const TStream& stream = streams[next];
    holder.RouteRecord(stream.Address, stream.Port, stream.Application, "Module", "web", text,
                       clientTime);
    next = next + 1 == streams.size() ? 0 : next + 1;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["producers"] = static_cast<double>(holder.FileProducerCount());
}

void BM_RouteAndAppend(benchmark::State& state) {
  TBenchDirectory dir;
  Run(state, dir.Dir(), 16384);
}

void BM_RouteOnly(benchmark::State& state) {
  TBenchDirectory dir;
  // A plain file where the tree should begin: every open fails, every line is dropped.
  std::ofstream(dir.Dir() + "blocked") << "";
  Run(state, dir.Dir() + "blocked/", 16384);
}

void BM_RouteOverTheBound(benchmark::State& state) {
  TBenchDirectory dir;
  Run(state, dir.Dir(), 4096);
}

void BM_PlainAppend(benchmark::State& state) {
  RaiseOpenFileLimit();
  TBenchDirectory dir;
  std::vector<std::unique_ptr<TLogFile>> files;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    files.push_back(std::make_unique<TLogFile>());
    files.back()->Open(dir.Dir() + std::to_string(i / 100) + "/" + std::to_string(i) + ".log");
  }
  const std::string line =
      "14:05:09.120[14:05:08.997] : GET /index.html HTTP/1.1 200 5120 0.004\r\n";
  std::size_t next = 0;
  for (auto _ : state) {
    files[next]->Write(line);
    next = next + 1 == files.size() ? 0 : next + 1;
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_PlainAppend)->Arg(10)->Arg(10'000);
BENCHMARK(BM_RouteAndAppend)->Arg(10)->Arg(10'000);
BENCHMARK(BM_RouteOnly)->Arg(10)->Arg(10'000);
BENCHMARK(BM_RouteOverTheBound)->Arg(10'000);

BENCHMARK_MAIN();

// Records through a plug-in, in the server's process and through a plug-in host: records/s from
// the first record handed over until the plug-in has had the last one, and the server process's
// CPU time per record (the host's own CPU is not in it). The plug-in only counts its calls. Then
// the same through a forwarder of "Forward" that only counts (its queue in memory, no journal).
//
//   PluginIsolationBench [records] [text bytes]

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "logging/TExternalLogProducer.h"
#include "logging/TIsolatedLogProducer.h"
#include "logging/TLogForwarder.h"

namespace {

void Run(bool isolated, std::size_t records, std::size_t textBytes) {
  std::unique_ptr<TPluginProducer> producer;
  if (isolated) {
    TPluginHostOptions options;
    options.Program = KELVRA_PLUGIN_HOST;
    options.MaxQueuedMessages = records;
    producer = std::make_unique<TIsolatedLogProducer>("", "10.0.0.5", "514", "APP", "MOD", "",
                                                      KELVRA_BENCH_PLUGIN, options);
  } else {
    producer = std::make_unique<TExternalLogProducer>("", "10.0.0.5", "514", "APP", "MOD", "",
                                                      KELVRA_BENCH_PLUGIN);
  }
  const std::string text(textBytes, 'x');
  const std::clock_t cpuStart = std::clock();
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < records; ++i) {
    producer->AddMessage(text, 45000.5, 45000.5);
  }
  std::size_t lost = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  producer->StopDelivery(deadline);
  producer->FinishDelivery(deadline, lost);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  producer.reset();
  std::printf(
      "%-11s %9zu records of %4zu bytes: %10.0f records/s, %7.0f ns CPU/record (server), "
      "%zu lost\n",
      isolated ? "isolated" : "in-process", records, textBytes, records / seconds,
      cpu * 1e9 / static_cast<double>(records), lost);
}

void RunForwarder(bool isolated, std::size_t records, std::size_t textBytes) {
  TLogForwarderLimits limits;
  limits.MaxRecords = records;
  limits.MaxBytes = SIZE_MAX;
  limits.PluginIsolation = isolated;
  limits.PluginHost.Program = KELVRA_PLUGIN_HOST;
  TLogForwarder forwarder("Bench", KELVRA_BENCH_FORWARDER, limits);
  const std::string text(textBytes, 'x');
  const std::clock_t cpuStart = std::clock();
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < records; ++i) {
    forwarder.Offer("10.0.0.5", 514, "APP", "MOD", "", text, 45000.5, 45000.5);
  }
  std::size_t lost = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  forwarder.StopDelivery(deadline);
  forwarder.FinishDelivery(deadline, lost);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  forwarder.Finalize();
  std::printf(
      "forwarder %-11s %9zu records of %4zu bytes: %10.0f records/s, %7.0f ns CPU/record "
      "(server), %llu delivered, %zu lost\n",
      isolated ? "isolated" : "in-process", records, textBytes, records / seconds,
      cpu * 1e9 / static_cast<double>(records),
      static_cast<unsigned long long>(forwarder.Counts().Delivered), lost);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t records = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 500000;
  const std::size_t textBytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100;
  for (const bool isolated : {false, true}) {
    Run(isolated, records, textBytes);
  }
  for (const bool isolated : {false, true}) {
    RunForwarder(isolated, records, textBytes);
  }
  return 0;
}

// Records per second from 1 and from 10 loopback clients through a TPKT listener, its
// connection threads and its delivery thread into a handler that only counts. Each client
// sends a fixed number of 120-byte records per iteration; an iteration ends when the handler
// has counted all of them (bounded by a 60 s deadline).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/uReceiveFilter.h"
#include "net/uTCPServer.h"
#include "tests/net/LoopbackClient.h"

namespace {

constexpr std::size_t RecordsPerIteration = 200000;
constexpr std::size_t RecordPayload = 120;  // about a record header and short texts

void BM_ListenerRecords(benchmark::State& state) {
  const auto clients = static_cast<std::size_t>(state.range(0));
  const std::size_t perClient = RecordsPerIteration / clients;
  std::atomic<std::uint64_t> counted{0};
  auto server = TTPKTTCPServer::Create(
      "127.0.0.1",
      [&counted](TIPConnection&, const void*, std::uint32_t) {
        counted.fetch_add(1, std::memory_order_relaxed);
      },
      nullptr, nullptr, nullptr, 0);
  if (!WaitForCondition([&] { return server->BoundPort() != 0; })) {
    state.SkipWithError("listener did not bind");
    return;
  }
  std::vector<std::unique_ptr<TLoopbackClient>> connections;
  for (std::size_t i = 0; i < clients; ++i) {
    connections.push_back(std::make_unique<TLoopbackClient>(server->BoundPort()));
  }
  const tTPKTReceiveFilter encoder;
  const std::string payload(RecordPayload, 'r');
  const std::string frame = encoder.Encode(payload.data(), RecordPayload);
  std::string stream;
  for (std::size_t i = 0; i < perClient; ++i) {
    stream += frame;
  }

  std::uint64_t target = 0;
  for (auto _ : state) {
    target += perClient * clients;
    std::vector<std::thread> senders;
    for (auto& connection : connections) {
      senders.emplace_back([&connection, &stream] { connection->Send(stream); });
    }
    const bool done = WaitForCondition([&] { return counted.load() >= target; }, 60000);
    for (std::thread& sender : senders) {
      sender.join();
    }
    if (!done) {
      state.SkipWithError("records did not arrive in time");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(counted.load()));
  state.counters["clients"] = static_cast<double>(clients);
  connections.clear();
  server.reset();
}
BENCHMARK(BM_ListenerRecords)
    ->Arg(1)
    ->Arg(10)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// Datagrams per second through tUDPServer into a handler that only counts them.
//
// A sender on 127.0.0.1 sends batches at full speed; after each batch the benchmark waits until
// every datagram has been counted or none has come for 200 ms, and reports what arrived as the
// rate and what did not as the loss. Arguments: datagram size in bytes, the socket receive buffer
// asked for after the bind (0: the system default).

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "net/uUDPServer.h"
#include "platform/uSocket.h"

namespace {

// Waits for the server's loop; a server that did not start skips the benchmark with its code.
bool Started(tUDPServer& server, benchmark::State& state) {
  std::int32_t code = 0;
  if (!server.WaitForStart(10000, code)) {
    state.SkipWithError(("server did not start, code " + std::to_string(code)).c_str());
    return false;
  }
  return true;
}

constexpr int BatchSize = 20000;

void BM_UDPServerReceive(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const int receiveBuffer = static_cast<int>(state.range(1));
  std::atomic<std::uint64_t> counted{0};
  auto count = [&counted](TIPConnection&, const void*, std::uint32_t) {
    counted.fetch_add(1, std::memory_order_relaxed);
  };
  tUDPServer server("127.0.0.1", count, nullptr, nullptr, nullptr, 0, receiveBuffer);
  if (!Started(server, state)) {
    return;
  }
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket sender = OpenUdpSocket();
  const std::string datagram(size, 'x');

  std::uint64_t sent = 0;
  for (auto _ : state) {
    const std::uint64_t before = counted.load();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < BatchSize; ++i) {
      if (SendDatagram(sender, datagram.data(), datagram.size(), loopback, server.BoundPort()) >
          0) {
        ++sent;
      }
    }
    // Drain: stop when all arrived or the count has not moved for 200 ms.
    std::uint64_t last = counted.load();
    auto lastMove = std::chrono::steady_clock::now();
    auto lastArrival = lastMove;
    while (counted.load() - before < BatchSize) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const std::uint64_t now = counted.load();
      if (now != last) {
        last = now;
        lastMove = lastArrival = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - lastMove > std::chrono::milliseconds(200)) {
        break;
      }
    }
    if (counted.load() - before == BatchSize) {
      lastArrival = std::chrono::steady_clock::now();
    }
    state.SetIterationTime(std::chrono::duration<double>(lastArrival - start).count());
  }
  CloseSocket(sender);
  server.Terminate();
  server.WaitFor();

  const double received = static_cast<double>(counted.load());
  state.SetItemsProcessed(static_cast<std::int64_t>(received));
  state.SetBytesProcessed(static_cast<std::int64_t>(received * static_cast<double>(size)));
  state.counters["datagrams_per_s"] = benchmark::Counter(received, benchmark::Counter::kIsRate);
  state.counters["loss_pct"] =
      sent == 0 ? 0.0 : 100.0 * (1.0 - received / static_cast<double>(sent));
}

BENCHMARK(BM_UDPServerReceive)
    ->ArgNames({"bytes", "rcvbuf"})
    ->Args({128, 0})
    ->Args({128, 8 << 20})
    ->Args({1024, 0})
    ->Args({1024, 8 << 20})
    ->Args({8192, 8 << 20})
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// The server's own capacity: the handler holds the server thread on the first datagram until a
// batch waits in the socket's receive buffer (8 MiB), then the time to count the batch is taken.
// Argument: datagram size in bytes.
void BM_UDPServerDrain(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  constexpr int Waiting = 5000;
  std::atomic<std::uint64_t> counted{0};
  std::atomic<bool> hold{false};
  auto count = [&](TIPConnection&, const void*, std::uint32_t) {
    while (hold.load(std::memory_order_acquire)) {
      std::this_thread::yield();
    }
    counted.fetch_add(1, std::memory_order_release);
  };
  tUDPServer server("127.0.0.1", count, nullptr, nullptr, nullptr, 0, 8 << 20);
  if (!Started(server, state)) {
    return;
  }
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket sender = OpenUdpSocket();
  const std::string datagram(size, 'x');
  std::uint64_t lost = 0;
  for (auto _ : state) {
    const std::uint64_t before = counted.load();
    hold.store(true);
    // The held handler blocks the server thread from the first datagram on.
    for (int i = 0; i <= Waiting; ++i) {
      SendDatagram(sender, datagram.data(), datagram.size(), loopback, server.BoundPort());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    hold.store(false);
    const auto deadline = start + std::chrono::seconds(5);
    while (counted.load(std::memory_order_acquire) - before < Waiting + 1 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    lost += Waiting + 1 - (counted.load() - before);
  }
  CloseSocket(sender);
  server.Terminate();
  server.WaitFor();
  state.counters["datagrams_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * Waiting, benchmark::Counter::kIsRate);
  state.counters["lost"] = static_cast<double>(lost);
}

BENCHMARK(BM_UDPServerDrain)
    ->ArgName("bytes")
    ->Arg(128)
    ->Arg(1024)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// Time from the stop request to the end of the server thread of an idle server, stopped at a
// varying moment of its 50 ms wait.
void BM_UDPServerStop(benchmark::State& state) {
  int step = 0;
  for (auto _ : state) {
    tUDPServer server("127.0.0.1", nullptr, nullptr, nullptr, nullptr, 0);
    std::int32_t code = 0;
    server.WaitForStart(10000, code);
    std::this_thread::sleep_for(std::chrono::milliseconds(step++ * 7 % 50));
    const auto start = std::chrono::steady_clock::now();
    server.Terminate();
    server.WaitFor();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

BENCHMARK(BM_UDPServerStop)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

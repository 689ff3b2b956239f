// Records per second through one kelvra_client: 1,000,000 records of 100 bytes of text, timed
// from Open until Close has confirmed that the peer read everything. Against a discarding sink
// (the client's own cost) and against the real server started here on free ports (the server
// has read every record when Close returns; writing them to disk goes on after).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "client/TKelvraClient.h"
#include "platform/uChildProcess.h"
#include "platform/uSocket.h"

namespace {

constexpr long Records = 1'000'000;
constexpr std::size_t TextBytes = 100;

std::uint32_t Loopback() {
  std::uint32_t address = 0;
  ParseIPv4Address("127.0.0.1", address);
  return address;
}

// Accepts connections on 127.0.0.1 one after the other and reads each to its end.
class TDiscardingSink {
 public:
  TDiscardingSink() {
    FListener = OpenTcpSocket();
    BindSocket(FListener, Loopback(), 0);
    ListenSocket(FListener, 4);
    GetLocalPort(FListener, FPort);
    FThread = std::thread([this] {
      std::uint32_t address = 0;
      std::uint16_t port = 0;
      for (TSocket socket; (socket = AcceptSocket(FListener, address, port)) != InvalidSocket;) {
        static char buffer[1 << 16];
        while (ReceiveBytes(socket, buffer, sizeof buffer) > 0) {
        }
        CloseSocket(socket);
      }
    });
  }
  ~TDiscardingSink() {
    ShutdownSocket(FListener);
    FThread.join();
    CloseSocket(FListener);
  }
  std::uint16_t Port() const { return FPort; }

 private:
  TSocket FListener = InvalidSocket;
  std::uint16_t FPort = 0;
  std::thread FThread;
};

std::uint16_t FreePort(bool udp) {
  const TSocket socket = udp ? OpenUdpSocket() : OpenTcpSocket();
  std::uint16_t port = 0;
  if (BindSocket(socket, 0, 0) == 0) {
    GetLocalPort(socket, port);
  }
  CloseSocket(socket);
  return port;
}

// The real server in a temporary directory of its own, stopped and removed at the end.
class TBenchServer {
 public:
  TBenchServer() {
    FDir = std::filesystem::temp_directory_path() /
           ("kelvra_client_bench_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(FDir / "cwd");
    std::filesystem::copy_file(KELVRA_SERVER_EXE, FDir / "KelvraLogServer");
    FPort = FreePort(false);
    std::ofstream(FDir / "LogServer.conf")
        << "[Common]\nServicePort=" << FPort << "\nSysLogPort=" << FreePort(true) << "\n";
    TChildProcess::TOptions options;
    options.Program = (FDir / "KelvraLogServer").string();
    options.WorkingDirectory = (FDir / "cwd").string();
    options.OutputPath = (FDir / "output.txt").string();
    FProcess = std::make_unique<TChildProcess>(options);
    for (int attempt = 0; attempt < 600; ++attempt) {
      const TSocket probe = OpenTcpSocket();
      const bool up = ConnectSocket(probe, Loopback(), FPort) == 0;
      CloseSocket(probe);
      if (up) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~TBenchServer() {
    FProcess->RequestStop();
    if (!FProcess->WaitFor(60'000)) {
      FProcess->Kill();
      FProcess->WaitFor(10'000);
    }
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
  }
  std::uint16_t Port() const { return FPort; }

 private:
  std::filesystem::path FDir;
  std::uint16_t FPort = 0;
  std::unique_ptr<TChildProcess> FProcess;
};

void SendMillion(benchmark::State& state, std::uint16_t port) {
  std::string text(TextBytes, 'x');
  double sendSeconds = 0;
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    TKelvraStatus status = TKelvraStatus::Ok;
    int code = 0;
    auto client = TKelvraClient::Open("127.0.0.1", port, {}, status, code);
    if (!client) {
      state.SkipWithError("cannot connect");
      return;
    }
    for (long i = 0; i < Records; ++i) {
      text.replace(0, 8, std::to_string(10'000'000 + i), 0, 8);
      client->Send("Bench", "Client", "", text);
    }
    sendSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (client->Close(120'000) != TKelvraStatus::Ok || client->Counters().Sent != Records) {
      state.SkipWithError("not every record was sent");
      return;
    }
  }
  state.counters["records/s"] = benchmark::Counter(
      static_cast<double>(Records) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["Send calls/s"] = static_cast<double>(Records) / sendSeconds;
}

void BM_ClientToDiscardingSink(benchmark::State& state) {
  TDiscardingSink sink;
  SendMillion(state, sink.Port());
}

void BM_ClientToServer(benchmark::State& state) {
  TBenchServer server;
  SendMillion(state, server.Port());
}

}  // namespace

BENCHMARK(BM_ClientToDiscardingSink)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientToServer)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

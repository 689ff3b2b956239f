// Records per second and CPU per record through the NATS JetStream forwarder (one server, R1; a
// three-node cluster, R3) next to the plain file path of the server (its file producer). The
// forwarder is loaded as the server loads it and fed from one thread, as the server's forwarder
// thread feeds it; a run ends when JetStream has acknowledged every record. CPU is this process's
// (the forwarder's and the spool's), not nats-server's.
//
//   ForwarderBench [records]      (default 200000)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/forward/uForwarderBench.h"
#include "logging/TFileLogProducer.h"
#include "logging/tLogForwarderSet.h"
#include "logging/uLogServerInterface.h"
#include "platform/uChildProcess.h"
#include "platform/uSocket.h"

namespace {

using namespace forwardbench;

std::uint16_t FreePort() {
  const TSocket socket = OpenTcpSocket();
  std::uint16_t port = 0;
  if (BindSocket(socket, 0, 0) == 0) {
    GetLocalPort(socket, port);
  }
  CloseSocket(socket);
  return port;
}

bool Accepts(std::uint16_t port) {
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket socket = OpenTcpSocket();
  const bool connected = ConnectSocketWithin(socket, loopback, port, 1000) == 0;
  CloseSocket(socket);
  return connected;
}

TFigures Forwarder(const std::string& dir, const std::string& servers, int replicas, int records) {
  const std::string library = dir + "/Nats.so";
  std::filesystem::copy_file(KELVRA_NATS_FORWARDER, library,
                             std::filesystem::copy_options::overwrite_existing);
  std::ofstream(dir + "/Nats.conf")
      << "[Forwarder]\nServers=" << servers
      << "\nMaxOutstandingAcks=2000\n[Stream]\nReplicas=" << replicas << "\n";
  return LibraryRun(library, records);
}

// The same forwarder behind the server's own forwarder queue (tLogForwarderSet), fed as the main
// loop feeds it: passes of PassRecords, each ended as the main loop ends a pass. "main loop" is
// the time and CPU the routing spends offering the records; the whole run ends when JetStream has
// acknowledged every record.
TFigures ServerForwarder(const std::string& dir, const std::string& servers, int records,
                         TFigures& mainLoop) {
  constexpr int PassRecords = 100;
  std::filesystem::create_directories(dir);
  const std::string library = dir + "/Nats.so";
  std::filesystem::copy_file(KELVRA_NATS_FORWARDER, library,
                             std::filesystem::copy_options::overwrite_existing);
  std::ofstream(dir + "/Nats.conf")
      << "[Forwarder]\nServers=" << servers << "\nMaxOutstandingAcks=2000\n[Stream]\nReplicas=1\n";
  std::ofstream(dir + "/LogServer.conf") << "[Forward]\nNats=" << library << "\n";
  TLogForwarderLimits limits;
  limits.JournalRoot = dir + "/journal";
  tLogForwarderSet set(dir + "/LogServer.conf", limits,
                       [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  const TDateTime now = LocalNow();
  set.HoldRecords();
  set.Offer("10.0.0.1", "40000", "load", "warm", "", "warm-up", now, now);
  set.WriteHeld();
  const auto acknowledged = [&set] {
    TLogProviderStatistics counts{};
    return set.LibraryCounts(0, counts) ? counts.acknowledged : 0;
  };
  while (acknowledged() < 1) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto start = Clock::now();
  const std::clock_t cpu = std::clock();
  for (int i = 0; i < records; i += PassRecords) {
    set.HoldRecords();
    for (int j = i; j < std::min(records, i + PassRecords); ++j) {
      set.Offer("10.0.0.1", "40000", "load", "m", "", Text(), now, now);
    }
    set.WriteHeld();
  }
  mainLoop = {std::chrono::duration<double>(Clock::now() - start).count(),
              static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC};
  const auto deadline = Clock::now() + std::chrono::minutes(5);
  while (acknowledged() < static_cast<unsigned long long>(records) + 1 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const TFigures figures{std::chrono::duration<double>(Clock::now() - start).count(),
                         static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC};
  set.ReleaseAll(Clock::now() + std::chrono::seconds(10), nullptr);
  return figures;
}

std::unique_ptr<TChildProcess> StartServer(const std::string& dir, const std::string& name,
                                           std::uint16_t port,
                                           const std::vector<std::string>& cluster) {
  std::filesystem::create_directories(dir);
  TChildProcess::TOptions options;
  options.Program = KELVRA_NATS_SERVER;
  options.Arguments = {
      "-js", "-a", "127.0.0.1", "-p", std::to_string(port), "-sd", dir + "/" + name, "-n", name};
  options.Arguments.insert(options.Arguments.end(), cluster.begin(), cluster.end());
  options.OutputPath = dir + "/" + name + ".out";
  auto process = std::make_unique<TChildProcess>(options);
  for (int i = 0; i < 500 && !Accepts(port); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return process;
}

}  // namespace

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::atoi(argv[1]) : 200'000;
  const std::string dir = (std::filesystem::temp_directory_path() /
                           ("kelvra_forwarder_bench_" + std::to_string(std::random_device{}())))
                              .string();
  std::filesystem::create_directories(dir);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Print("file producer", records, FilePath(dir + "/files", records));
  {
    const std::uint16_t port = FreePort();
    auto server = StartServer(dir + "/r1", "one", port, {});
    Print("JetStream forwarder, R1", records,
          Forwarder(dir + "/r1", "nats://127.0.0.1:" + std::to_string(port), 1, records));
    TFigures mainLoop;
    const TFigures whole = ServerForwarder(dir + "/r1q", "nats://127.0.0.1:" + std::to_string(port),
                                           records, mainLoop);
    Print("server queue + forwarder, R1", records, whole);
    Print("  of it the main loop's part", records, mainLoop);
    server->RequestStop();
    server->WaitFor(20'000);
  }
  {
    std::vector<std::uint16_t> ports = {FreePort(), FreePort(), FreePort()};
    std::vector<std::uint16_t> routes = {FreePort(), FreePort(), FreePort()};
    std::vector<std::unique_ptr<TChildProcess>> servers;
    std::string urls;
    std::filesystem::create_directories(dir + "/r3");
    for (int i = 0; i < 3; ++i) {
      std::string peers;
      for (int j = 0; j < 3; ++j) {
        if (j != i) {
          peers += (peers.empty() ? "" : ",") + std::string("nats://127.0.0.1:") +
                   std::to_string(routes[j]);
        }
      }
      servers.push_back(
          StartServer(dir + "/r3", "n" + std::to_string(i), ports[i],
                      {"--cluster_name", "bench", "--cluster",
                       "nats://127.0.0.1:" + std::to_string(routes[i]), "--routes", peers}));
      urls +=
          (urls.empty() ? "" : ",") + std::string("nats://127.0.0.1:") + std::to_string(ports[i]);
    }
    Print("JetStream forwarder, R3", records, Forwarder(dir + "/r3", urls, 3, records));
    for (auto& server : servers) {
      server->RequestStop();
      server->WaitFor(20'000);
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}

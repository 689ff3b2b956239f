#pragma once

// Real nats-server processes for the tests (Debian: nats-server): one JetStream server, or a
// three-node JetStream cluster, on free loopback ports with store directories of their own. Each
// server is started and stopped by the test through its process id.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nats/nats.h>

#include "platform/uChildProcess.h"
#include "platform/uSocket.h"
#include "tests/uTestDirectory.h"

namespace natstest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr auto Patience = 60s;

inline std::uint16_t FreePort() {
  const TSocket socket = OpenTcpSocket();
  std::uint16_t port = 0;
  if (BindSocket(socket, 0, 0) == 0) {
    GetLocalPort(socket, port);
  }
  CloseSocket(socket);
  return port;
}

inline bool WaitUntil(const std::function<bool()>& condition, Clock::duration patience = Patience) {
  const auto deadline = Clock::now() + patience;
  while (!condition()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Whether something accepts TCP connections on the loopback port.
inline bool Accepts(std::uint16_t port) {
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket socket = OpenTcpSocket();
  const bool connected = ConnectSocketWithin(socket, loopback, port, 1000) == 0;
  CloseSocket(socket);
  return connected;
}

// One nats-server -js. Start() again after Stop() or Kill() gives the same port and store.
class TNatsServer {
 public:
  struct TCluster {
    std::string Name;
    std::uint16_t RoutePort = 0;
    std::vector<std::uint16_t> PeerRoutePorts;
  };

  TNatsServer(std::string name, std::string storeDirectory)
      : TNatsServer(name, storeDirectory, TCluster()) {}
  TNatsServer(std::string name, std::string storeDirectory, TCluster cluster)
      : FName(std::move(name)),
        FStore(std::move(storeDirectory)),
        FPort(FreePort()),
        FCluster(std::move(cluster)) {}
  ~TNatsServer() { Stop(); }

  void Start() {
    TChildProcess::TOptions options;
    options.Program = KELVRA_NATS_SERVER;
    options.Arguments = {"-js", "-a",   "127.0.0.1", "-p", std::to_string(FPort),
                         "-sd", FStore, "-n",        FName};
    if (!FCluster.Name.empty()) {
      std::string routes;
      for (const std::uint16_t peer : FCluster.PeerRoutePorts) {
        routes +=
            (routes.empty() ? "" : ",") + std::string("nats://127.0.0.1:") + std::to_string(peer);
      }
      options.Arguments.insert(
          options.Arguments.end(),
          {"--cluster_name", FCluster.Name, "--cluster",
           "nats://127.0.0.1:" + std::to_string(FCluster.RoutePort), "--routes", routes});
    }
    options.OutputPath = FStore + ".out";
    FProcess = std::make_unique<TChildProcess>(options);
    ASSERT_TRUE(WaitUntil([&] { return Accepts(FPort) || !FProcess->Running(); }));
    ASSERT_TRUE(FProcess->Running()) << "nats-server ended at start; see " << options.OutputPath;
  }

  // The stop an administrator gives: SIGTERM, then the wait.
  void Stop() {
    if (FProcess) {
      FProcess->RequestStop();
      if (!FProcess->WaitFor(20'000)) {
        FProcess->Kill();
        FProcess->WaitFor(10'000);
      }
      FProcess.reset();
    }
  }
  void Kill() {
    if (FProcess) {
      FProcess->Kill();
      FProcess->WaitFor(10'000);
      FProcess.reset();
    }
  }
  bool Running() const { return FProcess != nullptr; }
  std::uint16_t Port() const { return FPort; }
  std::string Url() const { return "nats://127.0.0.1:" + std::to_string(FPort); }

 private:
  std::string FName;
  std::string FStore;
  std::uint16_t FPort;
  TCluster FCluster;
  std::unique_ptr<TChildProcess> FProcess;
};

// Three JetStream servers in one cluster on loopback.
class TNatsCluster {
 public:
  explicit TNatsCluster(const TTestDirectory& dir) {
    const std::vector<std::uint16_t> routes = {FreePort(), FreePort(), FreePort()};
    for (int i = 0; i < 3; ++i) {
      TNatsServer::TCluster cluster{"kelvra", routes[i], {}};
      for (int j = 0; j < 3; ++j) {
        if (j != i) {
          cluster.PeerRoutePorts.push_back(routes[j]);
        }
      }
      Servers.push_back(std::make_unique<TNatsServer>(
          "n" + std::to_string(i), dir.File("store" + std::to_string(i)), cluster));
    }
  }
  void Start() {
    for (auto& server : Servers) {
      server->Start();
    }
  }
  std::string Urls() const {
    std::string urls;
    for (const auto& server : Servers) {
      urls += (urls.empty() ? "" : ",") + server->Url();
    }
    return urls;
  }

  std::vector<std::unique_ptr<TNatsServer>> Servers;
};

// A client of the test's own for looking into the stream.
class TJetStreamProbe {
 public:
  explicit TJetStreamProbe(const std::string& urls) {
    natsOptions* options = nullptr;
    natsOptions_Create(&options);
    std::vector<std::string> servers;
    for (std::size_t start = 0;;) {
      const std::size_t comma = urls.find(',', start);
      servers.push_back(urls.substr(start, comma - start));
      if (comma == std::string::npos) {
        break;
      }
      start = comma + 1;
    }
    std::vector<const char*> list;
    for (const std::string& server : servers) {
      list.push_back(server.c_str());
    }
    natsOptions_SetServers(options, list.data(), static_cast<int>(list.size()));
    // A cluster's servers may still be forming their routes: the connect tries until one takes
    // it (the test's time-out bounds the wait).
    natsOptions_SetRetryOnFailedConnect(options, true, nullptr, nullptr);
    natsOptions_SetMaxReconnect(options, 100);
    natsOptions_SetReconnectWait(options, 200);
    natsOptions_SetTimeout(options, 2000);
    FStatus = natsConnection_Connect(&FConnection, options);
    natsOptions_Destroy(options);
    if (FStatus == NATS_OK) {
      jsOptions js;
      jsOptions_Init(&js);
      js.Wait = 10'000;
      FStatus = natsConnection_JetStream(&FJs, FConnection, &js);
    }
  }
  ~TJetStreamProbe() {
    jsCtx_Destroy(FJs);
    natsConnection_Destroy(FConnection);
  }
  TJetStreamProbe(const TJetStreamProbe&) = delete;
  TJetStreamProbe& operator=(const TJetStreamProbe&) = delete;

  bool Connected() const { return FStatus == NATS_OK; }
  jsCtx* Js() { return FJs; }

  // Messages in the stream now; -1 when it cannot be asked (no such stream yet, no leader).
  long long Count(const std::string& stream) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (js_GetStreamInfo(&info, FJs, stream.c_str(), nullptr, &code) != NATS_OK) {
      return -1;
    }
    const auto count = static_cast<long long>(info->State.Msgs);
    jsStreamInfo_Destroy(info);
    return count;
  }

  // Every message of the stream, oldest first: subject and data. Reads until expected messages
  // came and then one more fetch found nothing (so extra copies show), or until ten fetches in a
  // row found nothing.
  std::vector<std::pair<std::string, std::string>> ReadAll(const std::string& stream,
                                                           const std::string& subject,
                                                           std::size_t expected = 0) {
    std::vector<std::pair<std::string, std::string>> messages;
    natsSubscription* sub = nullptr;
    jsSubOptions options;
    jsSubOptions_Init(&options);
    options.Stream = stream.c_str();
    options.Config.AckPolicy = js_AckNone;
    options.Config.DeliverPolicy = js_DeliverAll;
    // A cluster that just lost a node may take a while to place the consumer.
    const bool subscribed = WaitUntil([&] {
      return js_PullSubscribe(&sub, FJs, subject.c_str(), nullptr, nullptr, &options, nullptr) ==
             NATS_OK;
    });
    if (!subscribed) {
      return messages;
    }
    for (int idle = 0; idle < 10 && !(idle > 0 && expected > 0 && messages.size() >= expected);) {
      natsMsgList list{};
      if (natsSubscription_Fetch(&list, sub, 1000, 500, nullptr) != NATS_OK) {
        ++idle;
        continue;
      }
      idle = 0;
      for (int i = 0; i < list.Count; ++i) {
        messages.emplace_back(
            natsMsg_GetSubject(list.Msgs[i]),
            std::string(natsMsg_GetData(list.Msgs[i]),
                        static_cast<std::size_t>(natsMsg_GetDataLength(list.Msgs[i]))));
      }
      natsMsgList_Destroy(&list);
    }
    natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
    return messages;
  }

 private:
  natsStatus FStatus = NATS_ERR;
  natsConnection* FConnection = nullptr;
  jsCtx* FJs = nullptr;
};

}  // namespace natstest

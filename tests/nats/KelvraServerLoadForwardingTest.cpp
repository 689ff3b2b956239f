// The real server under load with the NATS forwarder: 100,000 records from 10 TCP clients reach a
// real JetStream stream, every one exactly once and each client's in the order it sent them.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "platform/uStopSignals.h"
#include "tests/nats/uServerWithForwarder.h"
#include "tests/uLoadSize.h"

namespace natstest {
namespace {

constexpr int Clients = 10;
constexpr int PerClient = LoadSize(10'000);
constexpr int Total = Clients * PerClient;
constexpr int PerSend = 500;

// Each client on its own connection and thread, sending its records in order. The connections
// stay open (in clients) until the records are counted: closing one with unread probe frames
// resets it, which would throw away what the server's kernel still holds of it.
bool SendFromAllClients(std::uint16_t port, std::vector<TLoopbackClient>& clients) {
  std::atomic<int> failed{0};
  std::vector<std::thread> senders;
  for (int c = 0; c < Clients; ++c) {
    senders.emplace_back([c, port, &clients, &failed] {
      TLoopbackClient& client = clients[static_cast<std::size_t>(c)];
      if (!client.Connect(port)) {
        ++failed;
        return;
      }
      for (int first = 0; first < PerClient; first += PerSend) {
        std::string frames;
        for (int n = first; n < first + PerSend; ++n) {
          frames += ClientFrame(c, n);
        }
        if (!client.Send(frames)) {
          ++failed;
          return;
        }
      }
    });
  }
  for (std::thread& sender : senders) {
    sender.join();
  }
  return failed == 0;
}

TEST(KelvraServerLoadForwardingTest, HundredThousandRecordsFromTenClientsOnceEachInOrder) {
  TTestDirectory dir;
  TNatsServer nats("one", dir.File("store"));
  nats.Start();
  e2e::TServerUnderTest server;
  ConfigureServerForwarding(server,
                            Settings(nats.Url(), "[Spool]\nDirectory=" + dir.File("spool") + "\n"),
                            "LogMode=0\n");
  server.StartAndWaitForListener();
  std::vector<TLoopbackClient> clients(Clients);
  ASSERT_TRUE(SendFromAllClients(server.TcpPort(), clients));

  TJetStreamProbe probe(nats.Url());
  ASSERT_TRUE(probe.Connected());
  const bool arrived = WaitUntil([&] { return probe.Count("KELVRA") >= Total; }, 300s);
  EXPECT_TRUE(arrived) << probe.Count("KELVRA") << " of " << Total;
  clients.clear();
  // The forwarder confirms every record and holds none: asked while the server runs.
  const std::string settled = "acknowledged " + std::to_string(Total) + ", spooled 0, dropped 0";
  EXPECT_TRUE(WaitUntil(
      [&] {
        SendStatisticsRequest(server.Process().Id());
        return WaitUntil([&] { return server.DiagnosticLog().find(settled) != std::string::npos; },
                         2s);
      },
      60s))
      << server.DiagnosticLog();
  ASSERT_TRUE(server.Stop());
  EXPECT_NE(server.DiagnosticLog().find("FORWARD Nats: offered " + std::to_string(Total) +
                                        ", delivered " + std::to_string(Total) +
                                        ", queue full 0, lost at stop 0"),
            std::string::npos)
      << server.DiagnosticLog();

  // Nothing is in flight any more, so the count is final: a resend stored twice would show here.
  EXPECT_EQ(probe.Count("KELVRA"), Total);
  const std::vector<std::pair<int, int>> streamed = ClientRecordsInStream(probe, Total);
  EXPECT_EQ(streamed.size(), static_cast<std::size_t>(Total));
  std::set<std::pair<int, int>> distinct;
  std::map<int, int> next;  // the number each client's next record must carry
  std::size_t outOfOrder = 0;
  std::size_t foreign = 0;
  for (const auto& [client, number] : streamed) {
    if (client < 0 || client >= Clients || number < 0 || number >= PerClient) {
      ++foreign;
      continue;
    }
    distinct.insert({client, number});
    if (number != next[client]) {
      ++outOfOrder;
    }
    next[client] = number + 1;
  }
  EXPECT_EQ(foreign, 0u);
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(Total));
  EXPECT_EQ(outOfOrder, 0u);
  for (int c = 0; c < Clients; ++c) {
    EXPECT_EQ(next[c], PerClient) << "client " << c;
  }
}

}  // namespace
}  // namespace natstest

#include "net/uUDPServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "UDPTestSupport.h"

namespace {

using udptest::TEventLog;
using udptest::TPeer;
using udptest::TRecordedEvent;

constexpr std::uint32_t StartTimeoutMs = 10000;

// A server on 127.0.0.1 and a port of its own, every handler recorded.
class UDPServerTest : public ::testing::Test {
 protected:
  void StartServer() {
    Server = std::make_unique<tUDPServer>("127.0.0.1", Log.Receive(), Log.Send(), Log.Disconnect(),
                                          Log.Connect(), 0);
    std::int32_t code = -1;
    ASSERT_TRUE(Server->WaitForStart(StartTimeoutMs, code));
    ASSERT_EQ(code, 0);
    Port = Server->BoundPort();
    ASSERT_NE(Port, 0);
  }

  void TearDown() override {
    if (Server) {
      Server->Terminate();
      Server->WaitFor();
    }
  }

  // Waits for exactly the expected events (and, within the wait, no others before them).
  void ExpectEvents(const std::vector<TRecordedEvent>& expected) {
    ASSERT_TRUE(Log.WaitForCount(expected.size())) << "events came: " << Log.Events().size();
    EXPECT_EQ(Log.Events(), expected);
  }

  TEventLog Log;
  std::unique_ptr<tUDPServer> Server;
  std::uint16_t Port = 0;
};

TEST_F(UDPServerTest, FirstDatagramConnectsLaterOnesOnlyReceive) {
  StartServer();
  TPeer a;
  TPeer b;
  a.SendTo(Port, "one");
  ASSERT_TRUE(Log.WaitForCount(2));
  a.SendTo(Port, "two");
  ASSERT_TRUE(Log.WaitForCount(3));
  b.SendTo(Port, "other port");
  ExpectEvents({
      {'C', 0, "127.0.0.1", a.Port, ""},
      {'R', 0, "127.0.0.1", a.Port, "one"},
      {'R', 0, "127.0.0.1", a.Port, "two"},
      {'C', 1, "127.0.0.1", b.Port, ""},
      {'R', 1, "127.0.0.1", b.Port, "other port"},
  });
  EXPECT_EQ(Server->GetClientText(0), "127.0.0.1:" + std::to_string(a.Port));
  EXPECT_EQ(Server->GetClientText(1), "127.0.0.1:" + std::to_string(b.Port));
  EXPECT_EQ(Server->GetClientText(2), "");
  EXPECT_EQ(Server->GetClientText(5000), "");
}

TEST_F(UDPServerTest, OnlyDatagramsOfOneTo8192BytesArrive) {
  StartServer();
  TPeer a;
  std::string full(tUDPServer::ReceiveBufferSize, '\0');
  for (std::size_t i = 0; i < full.size(); ++i) {
    full[i] = static_cast<char>('a' + i % 26);
  }
  a.SendTo(Port, "");
  a.SendTo(Port, full + "!");
  a.SendTo(Port, full);
  a.SendTo(Port, "end");
  ExpectEvents({
      {'C', 0, "127.0.0.1", a.Port, ""},
      {'R', 0, "127.0.0.1", a.Port, full},
      {'R', 0, "127.0.0.1", a.Port, "end"},
  });
  // The long one was seen and lost; nothing has cleared the code since.
  EXPECT_EQ(Server->LastError(), SocketErrorMessageSize);
}

TEST_F(UDPServerTest, BurstArrivesWholeAndInOrder) {
  StartServer();
  TPeer a;
  constexpr int count = 100;  // small enough for the default receive buffer
  std::vector<TRecordedEvent> expected{{'C', 0, "127.0.0.1", a.Port, ""}};
  for (int i = 0; i < count; ++i) {
    a.SendTo(Port, "datagram " + std::to_string(i));
    expected.push_back({'R', 0, "127.0.0.1", a.Port, "datagram " + std::to_string(i)});
  }
  ExpectEvents(expected);
}

TEST_F(UDPServerTest, FullTableGivesEveryNewPeerIndex255) {
  StartServer();
  // Fill all 1024 slots by sending to peers that nobody listens on (127.1.x.y on our own port;
  // only 127.0.0.1 is bound, so the datagrams are dropped by the loopback).
  for (std::size_t i = 0; i < TUDPClintList::SlotCount; ++i) {
    const std::string address = "127.1." + std::to_string(i / 256) + '.' + std::to_string(i % 256);
    Server->SendToAddress(address, Port, "x", 1);
  }
  ASSERT_TRUE(Log.WaitForCount(2 * TUDPClintList::SlotCount));
  const auto filling = Log.Events();
  EXPECT_EQ(filling[2 * 255], (TRecordedEvent{'C', 255, "127.1.0.255", Port, ""}));
  EXPECT_EQ(filling[2 * 255 + 1], (TRecordedEvent{'S', 255, "127.1.0.255", Port, "x"}));
  EXPECT_EQ(filling.back(), (TRecordedEvent{'S', 1023, "127.1.3.255", Port, "x"}));

  TPeer late;
  late.SendTo(Port, "first");
  late.SendTo(Port, "again");
  ASSERT_TRUE(Log.WaitForCount(filling.size() + 4));
  const auto events = Log.Events();
  const std::vector<TRecordedEvent> tail(events.begin() + filling.size(), events.end());
  EXPECT_EQ(tail, (std::vector<TRecordedEvent>{
                      {'C', 255, "127.0.0.1", late.Port, ""},
                      {'R', 255, "127.0.0.1", late.Port, "first"},
                      {'C', 255, "127.0.0.1", late.Port, ""},
                      {'R', 255, "127.0.0.1", late.Port, "again"},
                  }));
  // The table is unchanged: slot 255 still holds its own peer.
  EXPECT_EQ(Server->GetClientText(255), "127.1.0.255:" + std::to_string(Port));
}

TEST_F(UDPServerTest, RequestKindsAndTheirEvents) {
  StartServer();
  TPeer a;
  TPeer b;
  a.SendTo(Port, "hello");
  ASSERT_TRUE(Log.WaitForCount(2));

  Server->SendToClient(0, "to a", 4);                      // kind 0, known peer
  Server->SendToClient(7, "to nobody", 9);                 // kind 0, empty slot
  Server->SendToClient(0, "nothing", 0);                   // size 0: dropped silently
  Server->SendToAddress("127.0.0.1", b.Port, "to b", 4);   // kind 1, new peer
  Server->SendToAddress("no.such.address", 9, "lost", 4);  // kind 1, send fails
  Server->DisconnectClient(5);                             // kind 2, empty slot: nothing
  Server->DisconnectClient(0);                             // kind 2, removes a
  Server->SendToClient(0, "gone", 4);                      // kind 0, slot now empty
  ExpectEvents({
      {'C', 0, "127.0.0.1", a.Port, ""},
      {'R', 0, "127.0.0.1", a.Port, "hello"},
      {'S', 0, "127.0.0.1", a.Port, "to a"},
      {'D', 7, "0.0.0.0", 0, ""},
      {'C', 1, "127.0.0.1", b.Port, ""},
      {'S', 1, "127.0.0.1", b.Port, "to b"},
      {'D', 2, "no.such.address", 9, ""},
      {'D', 0, "127.0.0.1", a.Port, ""},
      {'D', 0, "0.0.0.0", 0, ""},
  });
  std::string data;
  ASSERT_TRUE(a.Receive(data));
  EXPECT_EQ(data, "to a");
  ASSERT_TRUE(b.Receive(data));
  EXPECT_EQ(data, "to b");
  EXPECT_FALSE(a.Receive(data, 200));
  // The failed peer stays recorded; the removed one is gone.
  EXPECT_EQ(Server->GetClientText(2), "no.such.address:9");
  EXPECT_EQ(Server->GetClientText(0), "");
  // The last code seen: the receive attempt that every send pass makes found nothing.
  EXPECT_TRUE(IsWouldBlockError(Server->LastError())) << Server->LastError();
}

TEST_F(UDPServerTest, SendToAllQueuesOneRequestPerPeer) {
  StartServer();
  TPeer a;
  TPeer b;
  a.SendTo(Port, "a");
  ASSERT_TRUE(Log.WaitForCount(2));
  b.SendTo(Port, "b");
  ASSERT_TRUE(Log.WaitForCount(4));
  Server->SendToAll("all", 3);
  Server->SendToAll("", 0);  // one request per peer, each discarded
  Server->DisconnectClient(0);
  ASSERT_TRUE(Log.WaitForCount(7));
  const auto events = Log.Events();
  EXPECT_EQ(std::vector<TRecordedEvent>(events.begin() + 4, events.end()),
            (std::vector<TRecordedEvent>{
                {'S', 0, "127.0.0.1", a.Port, "all"},
                {'S', 1, "127.0.0.1", b.Port, "all"},
                {'D', 0, "127.0.0.1", a.Port, ""},
            }));
  std::string data;
  ASSERT_TRUE(a.Receive(data));
  EXPECT_EQ(data, "all");
  ASSERT_TRUE(b.Receive(data));
  EXPECT_EQ(data, "all");
}

TEST_F(UDPServerTest, HandlerMaySendAnswers) {
  tUDPServer* self = nullptr;
  std::mutex selfLock;  // guards self: set after construction, read on the server thread
  auto echo = [&](TIPConnection& sender, const void* packet, std::uint32_t size) {
    std::lock_guard lock(selfLock);
    self->SendToClient(sender.ClientIndex, packet, static_cast<std::int32_t>(size));
  };
  std::unique_lock lock(selfLock);
  Server = std::make_unique<tUDPServer>("127.0.0.1", echo, nullptr, nullptr, nullptr, 0);
  self = Server.get();
  lock.unlock();
  std::int32_t code = 0;
  ASSERT_TRUE(Server->WaitForStart(StartTimeoutMs, code));
  TPeer a;
  a.SendTo(Server->BoundPort(), "ping");
  std::string data;
  ASSERT_TRUE(a.Receive(data));
  EXPECT_EQ(data, "ping");
  Server.reset();  // before the handler's mutex goes
}

TEST_F(UDPServerTest, SocketOptionsWhileRunningAndAfterStop) {
  StartServer();
  const int size = 1 << 20;
  EXPECT_EQ(Server->SetSocketOption(SocketLevelSocket, SocketOptionRcvBuf, &size, sizeof size), 0);
  EXPECT_EQ(Server->SetSocketOption(SocketLevelSocket, -12345, &size, sizeof size), -1);
  Server->Terminate();
  EXPECT_EQ(Server->SetSocketOption(SocketLevelSocket, SocketOptionRcvBuf, &size, sizeof size), 1);
}

TEST_F(UDPServerTest, StopReleasesQueuedRequestsAndLaterOnesAreDiscarded) {
  StartServer();
  std::string block(1000, 'q');
  for (int i = 0; i < 10000; ++i) {
    Server->SendToAddress("127.1.0.1", Port, block.data(), static_cast<std::int32_t>(block.size()));
  }
  Server->Terminate();
  Server->WaitFor();
  const std::size_t seen = Log.Events().size();
  Server->SendToAddress("127.1.0.1", Port, "late", 4);
  Server->SendToClient(0, "late", 4);
  Server->DisconnectClient(0);
  EXPECT_EQ(Server->GetClientText(0), "");
  std::int32_t code = 0;
  EXPECT_FALSE(Server->WaitForStart(0, code));
  EXPECT_EQ(Log.Events().size(), seen);
}

// A bind that fails ends the thread with the bind's error; the server then takes no requests.
TEST(UDPServerBindTest, BindFailuresEndTheThread) {
  TPeer holder;  // holds 127.0.0.1 and its port
  std::int32_t inUse = 0;
  {
    const TSocket probe = OpenUdpSocket();
    ASSERT_NE(BindSocket(probe, udptest::Loopback(), holder.Port), 0);
    inUse = LastSocketError();
    CloseSocket(probe);
  }
  struct Case {
    std::string address;
    std::uint16_t port;
    std::int32_t code;
  };
  const Case cases[] = {
      {"127.0.0.1", holder.Port, inUse},
      {"not.an.address", 0, SocketErrorAddressNotAvailable},
  };
  for (const Case& c : cases) {
    TEventLog log;
    tUDPServer server(c.address, log.Receive(), log.Send(), log.Disconnect(), log.Connect(),
                      c.port);
    server.WaitFor();  // the thread ends by itself
    std::int32_t code = 0;
    EXPECT_FALSE(server.WaitForStart(50, code)) << c.address;
    EXPECT_EQ(code, c.code) << c.address;
    EXPECT_EQ(server.BoundPort(), 0);
    server.SendToAddress("127.0.0.1", holder.Port, "x", 1);
    server.SendToAll("x", 1);
    EXPECT_EQ(server.GetClientText(0), "");
    const int one = 1;
    EXPECT_EQ(server.SetSocketOption(SocketLevelSocket, SocketOptionReuseAddr, &one, sizeof one),
              -1);
    std::string data;
    EXPECT_FALSE(holder.Receive(data, 100));
    EXPECT_TRUE(log.Events().empty());
  }
}

TEST(UDPServerBindTest, WaitForStartWithoutErrorReportsTimeout) {
  // Stopped at once: whether or not the thread got to bind, it recorded no error.
  TEventLog log;
  tUDPServer server("127.0.0.1", log.Receive(), nullptr, nullptr, nullptr, 0);
  server.Terminate();
  server.WaitFor();
  std::int32_t code = 0;
  EXPECT_FALSE(server.WaitForStart(10, code));
  EXPECT_EQ(code, tUDPServer::ErrorTimeout);
}

}  // namespace

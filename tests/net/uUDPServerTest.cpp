#include "net/uUDPServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UDPTestSupport.h"

namespace {

using udptest::TEventLog;
using udptest::TPeer;
using Events = std::vector<udptest::TRecordedEvent>;

// A server on 127.0.0.1 and a port of its own, every handler recorded.
class UDPServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Server = std::make_unique<tUDPServer>("127.0.0.1", Log.Receive(), Log.Send(), Log.Disconnect(),
                                          Log.Connect(), 0);
    std::int32_t code = -1;
    ASSERT_TRUE(Server->WaitForStart(10000, code));
    ASSERT_EQ(code, 0);
    Port = Server->BoundPort();
  }

  // The events from number `from` on, once at least `count` have come.
  Events EventsFrom(std::size_t from, std::size_t count) {
    EXPECT_TRUE(Log.WaitForCount(count)) << Log.Events().size() << " events came";
    const Events all = Log.Events();
    return Events(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end());
  }

  TEventLog Log;
  std::unique_ptr<tUDPServer> Server;  // stopped before Log goes
  std::uint16_t Port = 0;
};

TEST_F(UDPServerTest, FirstDatagramConnectsAndOtherSourcePortIsAnotherPeer) {
  TPeer a;
  TPeer b;
  a.SendTo(Port, "one");
  ASSERT_TRUE(Log.WaitForCount(2));
  b.SendTo(Port, "other port");
  ASSERT_TRUE(Log.WaitForCount(4));
  // A burst from a is received whole and in order, all in slot 0.
  Events expected = {{'C', 0, "127.0.0.1", a.Port, ""},
                     {'R', 0, "127.0.0.1", a.Port, "one"},
                     {'C', 1, "127.0.0.1", b.Port, ""},
                     {'R', 1, "127.0.0.1", b.Port, "other port"}};
  for (int i = 0; i < 100; ++i) {
    a.SendTo(Port, std::to_string(i));
    expected.push_back({'R', 0, "127.0.0.1", a.Port, std::to_string(i)});
  }
  EXPECT_EQ(EventsFrom(0, expected.size()), expected);
  EXPECT_EQ(Server->GetClientText(1), "127.0.0.1:" + std::to_string(b.Port));
  EXPECT_EQ(Server->GetClientText(2), "");
}

TEST_F(UDPServerTest, OnlyDatagramsOfOneTo8192BytesArrive) {
  TPeer a;
  std::string full(tUDPServer::ReceiveBufferSize, 'f');
  full.front() = '<';
  full.back() = '>';
  a.SendTo(Port, "");
  a.SendTo(Port, full + "!");
  a.SendTo(Port, full);
  a.SendTo(Port, "end");
  EXPECT_EQ(EventsFrom(0, 3), (Events{{'C', 0, "127.0.0.1", a.Port, ""},
                                      {'R', 0, "127.0.0.1", a.Port, full},
                                      {'R', 0, "127.0.0.1", a.Port, "end"}}));
  // The long one was seen and lost; nothing has cleared its code since.
  EXPECT_EQ(Server->LastError(), SocketErrorMessageSize);
}

TEST_F(UDPServerTest, FullTableGivesEveryNewPeerIndex255) {
  // 1024 peers that nobody listens on: 127.1.x.y, on our own port, bound on 127.0.0.1 only.
  for (std::size_t i = 0; i < TUDPClintList::SlotCount; ++i) {
    Server->SendToAddress("127.1." + std::to_string(i / 256) + '.' + std::to_string(i % 256), Port,
                          "x", 1);
  }
  const std::size_t filled = 2 * TUDPClintList::SlotCount;
  EXPECT_EQ(EventsFrom(filled - 2, filled),
            (Events{{'C', 1023, "127.1.3.255", Port, ""}, {'S', 1023, "127.1.3.255", Port, "x"}}));
  TPeer late;
  late.SendTo(Port, "first");
  late.SendTo(Port, "again");
  EXPECT_EQ(EventsFrom(filled, filled + 4), (Events{{'C', 255, "127.0.0.1", late.Port, ""},
                                                    {'R', 255, "127.0.0.1", late.Port, "first"},
                                                    {'C', 255, "127.0.0.1", late.Port, ""},
                                                    {'R', 255, "127.0.0.1", late.Port, "again"}}));
  EXPECT_EQ(Server->GetClientText(255), "127.1.0.255:" + std::to_string(Port));
}

TEST_F(UDPServerTest, RequestKindsAndTheirEvents) {
  TPeer a;
  TPeer b;
  a.SendTo(Port, "hello");
  ASSERT_TRUE(Log.WaitForCount(2));
  Server->SendToClient(0, "to a", 4);                      // kind 0, known peer
  Server->SendToClient(7, "to nobody", 9);                 // kind 0, empty slot
  Server->SendToClient(0, "nothing", 0);                   // size 0: dropped silently
  Server->SendToAddress("127.0.0.1", b.Port, "to b", 4);   // kind 1, new peer
  Server->SendToAddress("no.such.address", 9, "lost", 4);  // kind 1, the send fails
  Server->DisconnectClient(5);                             // kind 2, empty slot: nothing
  Server->DisconnectClient(0);                             // kind 2, removes a
  Server->SendToClient(0, "gone", 4);                      // kind 0, slot now empty
  EXPECT_EQ(EventsFrom(2, 9), (Events{{'S', 0, "127.0.0.1", a.Port, "to a"},
                                      {'D', 7, "0.0.0.0", 0, ""},
                                      {'C', 1, "127.0.0.1", b.Port, ""},
                                      {'S', 1, "127.0.0.1", b.Port, "to b"},
                                      {'D', 2, "no.such.address", 9, ""},
                                      {'D', 0, "127.0.0.1", a.Port, ""},
                                      {'D', 0, "0.0.0.0", 0, ""}}));
  std::string data;
  ASSERT_TRUE(a.Receive(data));
  EXPECT_EQ(data, "to a");
  ASSERT_TRUE(b.Receive(data));
  EXPECT_EQ(data, "to b");
  EXPECT_FALSE(a.Receive(data, 100));
  EXPECT_EQ(Server->GetClientText(2), "no.such.address:9");  // a failed peer stays recorded
  // The last code seen: the receive attempt that each send pass makes found nothing.
  EXPECT_TRUE(IsWouldBlockError(Server->LastError())) << Server->LastError();

  Server->Terminate();
  const int one = 1;
  EXPECT_EQ(Server->SetSocketOption(SocketLevelSocket, SocketOptionReuseAddr, &one, sizeof one), 1);
}

// Datagrams taken in batches keep their order and their own peers, and a peer taken out of the
// table is a new peer with its next datagram.
TEST_F(UDPServerTest, BurstsFromSeveralPeersKeepOrderAndARemovedPeerConnectsAgain) {
  TPeer a;
  TPeer b;
  a.SendTo(Port, "a first");
  b.SendTo(Port, "b first");
  ASSERT_TRUE(Log.WaitForCount(4));
  Events expected = Log.Events();
  ASSERT_EQ(expected.size(), 4u);
  // More than one batch, peers taking turns in runs of different lengths.
  for (int i = 0; i < 3 * tUDPServer::ReceiveBatch; ++i) {
    TPeer& peer = i % 5 < 3 ? a : b;
    const std::uint16_t slot = &peer == &a ? expected[0].Index : expected[2].Index;
    peer.SendTo(Port, "n" + std::to_string(i));
    expected.push_back({'R', slot, "127.0.0.1", peer.Port, "n" + std::to_string(i)});
  }
  ASSERT_EQ(EventsFrom(0, expected.size()), expected);
  const std::uint16_t aSlot = expected[0].Index;
  Server->DisconnectClient(aSlot);
  expected.push_back({'D', aSlot, "127.0.0.1", a.Port, ""});
  ASSERT_EQ(EventsFrom(0, expected.size()), expected);
  a.SendTo(Port, "a again");
  expected.push_back({'C', aSlot, "127.0.0.1", a.Port, ""});
  expected.push_back({'R', aSlot, "127.0.0.1", a.Port, "a again"});
  EXPECT_EQ(EventsFrom(0, expected.size()), expected);
}

// The datagrams of each receive call, as a batch-end handler sees them: what OnReceive brought
// since the last batch end.
class TBatchLog {
 public:
  tNotifyDataTCPEvent Receive() {
    return [this](TIPConnection&, const void* packet, std::uint32_t size) {
      std::lock_guard lock(FLock);
      FOpen.emplace_back(static_cast<const char*>(packet), size);
    };
  }
  tNotifyTCPEvent BatchEnd() {
    return [this](TIPConnection&) {
      {
        std::lock_guard lock(FLock);
        FCount += FOpen.size();
        FBatches.push_back(std::move(FOpen));
        FOpen.clear();
      }
      FChanged.notify_all();
    };
  }
  // The batches once they hold count datagrams in all (waits up to 10 s), and what came after
  // the last batch end.
  std::vector<std::vector<std::string>> WaitForCount(std::size_t count,
                                                     std::vector<std::string>& open) {
    std::unique_lock lock(FLock);
    FChanged.wait_for(lock, std::chrono::seconds(10), [&] { return FCount >= count; });
    open = FOpen;
    return FBatches;
  }

 private:
  std::mutex FLock;  // guards everything below
  std::condition_variable FChanged;
  std::vector<std::string> FOpen;
  std::vector<std::vector<std::string>> FBatches;
  std::size_t FCount = 0;
};

// Every receive call that raised OnReceive ends with one batch end, no call without one, and
// the batches together are every datagram in order; empty and oversized datagrams, raising
// nothing, open no batch of their own.
TEST(UDPServerBatchEndTest, EachReceiveCallsDatagramsEndWithOneBatchEnd) {
  TBatchLog log;
  tUDPServer server("127.0.0.1", log.Receive(), nullptr, nullptr, nullptr, 0, 1 << 20,
                    log.BatchEnd());
  std::int32_t code = -1;
  ASSERT_TRUE(server.WaitForStart(10000, code));
  TPeer a;
  a.SendTo(server.BoundPort(), "");
  a.SendTo(server.BoundPort(), std::string(tUDPServer::ReceiveBufferSize + 1, 'x'));
  // Given time to be taken alone, before the rest arrives.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // In runs of two batches, each waited for, so that even the system's default receive buffer
  // holds a run.
  constexpr int Count = 10 * tUDPServer::ReceiveBatch;
  std::vector<std::string> sent;
  std::vector<std::vector<std::string>> batches;
  std::vector<std::string> open;
  for (int i = 0; i < Count; ++i) {
    sent.push_back("d" + std::to_string(i));
    a.SendTo(server.BoundPort(), sent.back());
    if (i % 50 == 0) {
      a.SendTo(server.BoundPort(), "");
    }
    if ((i + 1) % (2 * tUDPServer::ReceiveBatch) == 0) {
      batches = log.WaitForCount(sent.size(), open);
    }
  }
  std::vector<std::string> received;
  for (const auto& batch : batches) {
    EXPECT_FALSE(batch.empty());
    EXPECT_LE(batch.size(), static_cast<std::size_t>(tUDPServer::ReceiveBatch));
    received.insert(received.end(), batch.begin(), batch.end());
  }
  EXPECT_EQ(received, sent);
  EXPECT_TRUE(open.empty());
}

// A failed bind ends the thread with the bind's code; the server then takes no requests.
TEST(UDPServerBindTest, BindFailuresEndTheThread) {
  TPeer holder;  // holds 127.0.0.1 and a port
  const std::int32_t inUse = udptest::BindErrorOf(holder.Port);
  const struct {
    std::string address;
    std::uint16_t port;
    std::int32_t code;
  } cases[] = {{"127.0.0.1", holder.Port, inUse},
               {"not.an.address", 0, SocketErrorAddressNotAvailable}};
  for (const auto& c : cases) {
    TEventLog log;
    tUDPServer server(c.address, log.Receive(), log.Send(), log.Disconnect(), log.Connect(),
                      c.port);
    server.WaitFor();  // ends by itself
    std::int32_t code = 0;
    EXPECT_FALSE(server.WaitForStart(20, code));
    EXPECT_EQ(code, c.code) << c.address;
    server.SendToAddress("127.0.0.1", holder.Port, "x", 1);
    EXPECT_EQ(server.GetClientText(0), "");
    const int one = 1;
    EXPECT_EQ(server.SetSocketOption(SocketLevelSocket, SocketOptionReuseAddr, &one, sizeof one),
              -1);
    std::string data;
    EXPECT_FALSE(holder.Receive(data, 50));
    EXPECT_TRUE(log.Events().empty());
  }
}

}  // namespace

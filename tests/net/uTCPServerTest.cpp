#include "net/uTCPServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/TEvent.h"
#include "tests/net/LoopbackClient.h"
#include "tests/net/TCPTestSupport.h"

namespace {

using Event = TCPEventRecorder::Event;

std::unique_ptr<TCustomTCPServer> RecordingServer(TCPEventRecorder& recorder,
                                                  const std::string& address = "127.0.0.1",
                                                  std::uint16_t port = 0) {
  return TTPKTTCPServer::Create(address, recorder.Receive(), recorder.Send(), recorder.Disconnect(),
                                recorder.Connect(), port);
}

std::uint16_t ClientOfLastConnect(const TCPEventRecorder& recorder) {
  std::uint16_t client = 0xFFFF;
  for (const Event& event : recorder.Events()) {
    if (event.Kind == evConnect) {
      client = event.Client;
    }
  }
  return client;
}

TEST(TCPServerTest, ClientsGetTheLowestFreeNumberAndNumbersAreReused) {
  TCPEventRecorder recorder;
  const auto server = RecordingServer(recorder);
  const std::uint16_t port = WaitForBoundPort(*server);

  TLoopbackClient first(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 1));
  EXPECT_EQ(ClientOfLastConnect(recorder), 0);
  TLoopbackClient second(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 2));
  EXPECT_EQ(ClientOfLastConnect(recorder), 1);

  first.Close();
  ASSERT_TRUE(recorder.WaitForCount(evDisconnect, 1));
  ASSERT_TRUE(WaitForCondition([&] { return server->GetConnection(0) == nullptr; }));
  EXPECT_NE(server->GetConnection(1), nullptr);

  TLoopbackClient third(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 3));
  EXPECT_EQ(ClientOfLastConnect(recorder), 0);
  TLoopbackClient fourth(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 4));
  EXPECT_EQ(ClientOfLastConnect(recorder), 2);
}

TEST(TCPServerTest, StoppingTheListenerRaisesNoDisconnectEvents) {
  TCPEventRecorder recorder;
  auto server = RecordingServer(recorder);
  TLoopbackClient client(WaitForBoundPort(*server));
  ASSERT_TRUE(client.Send(TPKTFrame("before stop")));
  ASSERT_TRUE(recorder.WaitForCount(evReceive, 1));

  server->Terminate();
  server->CloseListenSocket();
  server->WaitFor();
  EXPECT_TRUE(server->IsStopRequested());
  EXPECT_EQ(server->ConnectionCount(), 0u);
  server.reset();

  EXPECT_TRUE(client.WaitForClose());
  EXPECT_EQ(TCPEventRecorder::Count(recorder.Events(), evDisconnect), 0u);
  EXPECT_EQ(TCPEventRecorder::Count(recorder.Events(), evConnect), 1u);
}

TEST(TCPServerTest, QueuedEventsAreDeliveredBeforeTheListenerEnds) {
  TEvent gate;
  std::atomic<int> received{0};
  std::atomic<bool> handlerBlocked{false};
  auto server = TTPKTTCPServer::Create(
      "127.0.0.1",
      [&](TIPConnection& sender, const void*, std::uint32_t) {
        handlerBlocked = true;
        gate.WaitFor(10000);
        // The connection must still be alive here, although the listener has stopped it.
        received += sender.ClientIndex == 0 ? 1 : 100;
      },
      nullptr, nullptr, nullptr, 0);
  TCustomTCPServer* listener = server.get();
  TLoopbackClient client(WaitForBoundPort(*server));
  ASSERT_TRUE(client.Send(TPKTFrame("1") + TPKTFrame("2") + TPKTFrame("3")));
  ASSERT_TRUE(WaitForCondition([&] { return handlerBlocked && listener->PendingEvents() == 2; }));

  // The stop waits for the delivery thread, which is held in the handler until the gate opens;
  // the connections are stopped and out of the table by then.
  std::thread stopper([&] { server.reset(); });
  const bool stopped = WaitForCondition(
      [&] { return listener->IsStopRequested() && listener->ConnectionCount() == 0; });
  gate.Set();
  stopper.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(received.load(), 3);
}

TEST(TCPServerTest, ProbeReachesEveryClientAsAHeaderOnlyFrame) {
  TCPEventRecorder recorder;
  const auto server = RecordingServer(recorder);
  const std::uint16_t port = WaitForBoundPort(*server);
  TLoopbackClient first(port);
  TLoopbackClient second(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 2));

  server->SendToAll(nullptr, 0);
  const std::string probe("\x03\x00\x00\x04", 4);
  EXPECT_EQ(first.Receive(4), probe);
  EXPECT_EQ(second.Receive(4), probe);
}

TEST(TCPServerTest, HandlersMaySendThroughTheListener) {
  TCPEventRecorder recorder;
  std::atomic<TCustomTCPServer*> self{nullptr};
  const auto server = TTPKTTCPServer::Create(
      "127.0.0.1",
      [&](TIPConnection& sender, const void* packet, std::uint32_t size) {
        self.load()->SendToConnection(sender, packet, static_cast<std::int32_t>(size));
      },
      nullptr, nullptr, nullptr, 0);
  self = server.get();
  TLoopbackClient client(WaitForBoundPort(*server));
  ASSERT_TRUE(client.Send(TPKTFrame("echo me")));
  EXPECT_EQ(client.Receive(11), TPKTFrame("echo me"));
}

TEST(TCPServerTest, SendToARemovedConnectionDoesNothing) {
  TCPEventRecorder recorder;
  const auto server = RecordingServer(recorder);
  const std::uint16_t port = WaitForBoundPort(*server);
  TLoopbackClient stays(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 1));
  TLoopbackClient leaves(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 2));
  const TIPConnection* gone = recorder.Events().back().Connection;

  leaves.Close();
  ASSERT_TRUE(recorder.WaitForCount(evDisconnect, 1));
  ASSERT_TRUE(WaitForCondition([&] { return server->ConnectionCount() == 1; }));
  // Only the address is compared: the object itself has been released.
  server->SendToConnection(*gone, "lost", 4);
  server->SendToClient(1, "lost", 4);
  server->SendToClient(0, "kept", 4);
  EXPECT_EQ(stays.Receive(8), TPKTFrame("kept"));
  EXPECT_TRUE(
      WaitForCondition([&] { return TCPEventRecorder::Count(recorder.Events(), evSend) == 1; }));
}

TEST(TCPServerTest, ATakenPortIsRetriedUntilItIsFree) {
  std::uint32_t loopback = 0;
  ASSERT_TRUE(ParseIPv4Address("127.0.0.1", loopback));
  TSocket holder = OpenTcpSocket();
  ASSERT_NE(holder, InvalidSocket);
  ASSERT_EQ(BindSocket(holder, loopback, 0), 0);
  ASSERT_EQ(ListenSocket(holder, 1), 0);
  std::uint16_t port = 0;
  ASSERT_EQ(GetLocalPort(holder, port), 0);

  TCPEventRecorder recorder;
  const auto server = RecordingServer(recorder, "127.0.0.1", port);
  int code = -1;
  EXPECT_TRUE(server->WaitForStart(10000, code));
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(WaitForCondition([&] { return IsAddressInUseError(server->FLastError()); }));
  EXPECT_EQ(server->BoundPort(), 0);

  CloseSocket(holder);
  ASSERT_TRUE(WaitForCondition([&] { return server->BoundPort() == port; }));
  EXPECT_TRUE(WaitForCondition([&] { return server->FLastError() == 0; }));
  EXPECT_FALSE(server->IsStopRequested());
  TLoopbackClient client(port);
  EXPECT_TRUE(client.Connected());
  EXPECT_TRUE(recorder.WaitForCount(evConnect, 1));
}

TEST(TCPServerTest, AddressesAreResolvedOnceOrReportedAsInvalid) {
  TCPEventRecorder recorder;
  const auto named = RecordingServer(recorder, "localhost");
  EXPECT_EQ(named->ListenAddress(), "127.0.0.1");
  EXPECT_NE(WaitForBoundPort(*named), 0);

  // Neither a dotted literal nor a host name: the listener keeps trying and shows 87.
  const auto invalid = RecordingServer(recorder, "");
  int code = -1;
  EXPECT_TRUE(invalid->WaitForStart(10000, code));
  EXPECT_TRUE(WaitForCondition([&] { return invalid->FLastError() == 87; }));
  EXPECT_FALSE(invalid->IsStopRequested());
  EXPECT_EQ(invalid->BoundPort(), 0);
}

TEST(TCPServerTest, DisconnectWithoutAHandlerStillFreesTheNumber) {
  std::atomic<int> connects{0};
  const auto server = TSimpleTCPServer::Create(
      "127.0.0.1", nullptr, nullptr, nullptr, [&](TIPConnection&) { ++connects; }, 0);
  const std::uint16_t port = WaitForBoundPort(*server);
  {
    TLoopbackClient client(port);
    ASSERT_TRUE(WaitForCondition([&] { return connects == 1; }));
  }
  EXPECT_TRUE(WaitForCondition([&] { return server->ConnectionCount() == 0; }));
}

TEST(TCPServerTest, AThrowingHandlerDoesNotStopDelivery) {
  TCPEventRecorder recorder;
  const tNotifyDataTCPEvent record = recorder.Receive();
  const auto server = TTPKTTCPServer::Create(
      "127.0.0.1",
      [&](TIPConnection& sender, const void* packet, std::uint32_t size) {
        record(sender, packet, size);
        if (size == 5) {
          throw std::runtime_error("handler failed");
        }
      },
      nullptr, nullptr, nullptr, 0);
  TLoopbackClient client(WaitForBoundPort(*server));
  ASSERT_TRUE(client.Send(TPKTFrame("fails") + TPKTFrame("goes on")));
  ASSERT_TRUE(recorder.WaitForCount(evReceive, 2));
  EXPECT_EQ(recorder.Events().back().Data, "goes on");
}

// A listener whose stop is requested before its thread begins: the thread skips its body.
class EarlyStoppedServer final : public TCustomTCPServer {
 public:
  explicit EarlyStoppedServer(tNotifyTCPEvent onConnect)
      : TCustomTCPServer("127.0.0.1", nullptr, nullptr, nullptr, std::move(onConnect), 0) {
    Terminate();
    Start();
  }
  ~EarlyStoppedServer() override { StopListener(); }
};

TEST(TCPServerTest, AListenerStoppedBeforeItRunsStillEndsItsDeliveryThread) {
  auto server = std::make_unique<EarlyStoppedServer>(nullptr);
  server->WaitFor();
  EXPECT_TRUE(server->Finished());
  EXPECT_EQ(server->BoundPort(), 0);
  EXPECT_EQ(server->QueuedEvents(), 0);
  server.reset();
}

// A listener that cannot create the thread of its first client, as when the system refuses
// another thread; later clients get theirs.
class FirstClientUnservedServer final : public TCustomTCPServer {
 public:
  explicit FirstClientUnservedServer(TCPEventRecorder& recorder)
      : TCustomTCPServer("127.0.0.1", recorder.Receive(), nullptr, recorder.Disconnect(),
                         recorder.Connect(), 0) {
    Start();
  }
  ~FirstClientUnservedServer() override { StopListener(); }

 protected:
  int CreateConnection(TSocket socket, std::uint32_t peerAddress, std::uint16_t peerPort) override {
    const bool first = !FServedBefore;
    FServedBefore = true;
    return AddConnection(socket, peerAddress, peerPort, first ? &RefusedFilter : nullptr);
  }

 private:
  static std::unique_ptr<tEmptyReceiveFilter> RefusedFilter() {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }

  bool FServedBefore = false;  // listener thread only
};

TEST(TCPServerTest, AClientThatCannotBeServedIsTurnedAwayAndTheListenerGoesOn) {
  TCPEventRecorder recorder;
  FirstClientUnservedServer server(recorder);
  const std::uint16_t port = WaitForBoundPort(server);

  TLoopbackClient refused(port);
  ASSERT_TRUE(refused.Connected());
  EXPECT_TRUE(refused.WaitForClose());
  TLoopbackClient served(port);
  ASSERT_TRUE(served.Connected());
  EXPECT_TRUE(recorder.WaitForCount(evConnect, 1));
  EXPECT_EQ(ClientOfLastConnect(recorder), 0);
  EXPECT_FALSE(server.Finished());
}

// With the delivery queue full a connection stops reading; TCP flow control holds the client
// back, and every record arrives once the handler catches up.
TEST(TCPServerTest, FullDeliveryQueueLosesNothing) {
  constexpr int Records = 25000;
  TEvent gate;
  std::mutex lock;
  std::vector<std::uint32_t> sequence;  // guarded by lock
  TCPEventRecorder recorder;
  const tNotifyTCPEvent recordConnect = recorder.Connect();
  const auto server = TTPKTTCPServer::Create(
      "127.0.0.1",
      [&](TIPConnection&, const void* packet, std::uint32_t size) {
        gate.WaitFor(60000);
        ASSERT_EQ(size, 4u);
        const auto* bytes = static_cast<const std::uint8_t*>(packet);
        std::lock_guard guard(lock);
        sequence.push_back(
            static_cast<std::uint32_t>(bytes[0] << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3]));
      },
      nullptr, recorder.Disconnect(), recordConnect, 0);
  const std::uint16_t port = WaitForBoundPort(*server);

  TLoopbackClient client(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 1));
  std::string stream;
  for (std::uint32_t i = 0; i < Records; ++i) {
    stream += TPKTFrame(std::string{static_cast<char>(i >> 24), static_cast<char>(i >> 16),
                                    static_cast<char>(i >> 8), static_cast<char>(i)});
  }
  std::thread sender([&] { client.Send(stream); });
  // Whatever happens below, the handler is released and the sender joined before the client goes.
  struct Release {
    TEvent& gate;
    std::thread& sender;
    ~Release() {
      gate.Set();
      if (sender.joinable()) {
        sender.join();
      }
    }
  } release{gate, sender};

  const int limit = TReceiveManagerQueue::MaxCount;
  ASSERT_TRUE(WaitForCondition([&] { return server->QueuedEvents() == limit; }, 30000));
  // A new client's connect event waits for room too, instead of being dropped.
  TLoopbackClient late(port);
  ASSERT_TRUE(late.Connected());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(server->QueuedEvents(), limit);

  gate.Set();
  sender.join();
  client.Close();
  ASSERT_TRUE(recorder.WaitForCount(evDisconnect, 1, 60000));
  EXPECT_TRUE(recorder.WaitForCount(evConnect, 2));
  std::lock_guard guard(lock);
  ASSERT_EQ(sequence.size(), static_cast<std::size_t>(Records));
  for (std::uint32_t i = 0; i < Records; ++i) {
    ASSERT_EQ(sequence[i], i);
  }
}

// Several clients with large records fill the delivery queue by its byte bound: it holds no more
// than that while the handler is held, and once it goes on every record of every client arrives,
// each client's in the order sent.
TEST(TCPServerTest, ByteBoundOnTheDeliveryQueueHoldsSeveralClientsAndLosesNothing) {
  constexpr int Clients = 4;
  constexpr std::uint32_t Records = 400;
  constexpr std::size_t RecordSize = 2000;
  TEvent gate;
  std::mutex lock;
  std::vector<std::vector<std::uint32_t>> sequences(Clients);  // guarded by lock
  TCPEventRecorder recorder;
  const auto server = TTPKTTCPServer::Create(
      "127.0.0.1",
      [&](TIPConnection&, const void* packet, std::uint32_t size) {
        gate.WaitFor(60000);
        ASSERT_EQ(size, RecordSize);
        const auto* bytes = static_cast<const std::uint8_t*>(packet);
        const std::uint32_t number =
            static_cast<std::uint32_t>(bytes[1] << 16 | bytes[2] << 8 | bytes[3]);
        std::lock_guard guard(lock);
        ASSERT_LT(bytes[0], Clients);
        sequences[bytes[0]].push_back(number);
      },
      nullptr, recorder.Disconnect(), recorder.Connect(), 0);
  const std::uint16_t port = WaitForBoundPort(*server);

  std::vector<std::unique_ptr<TLoopbackClient>> clients;
  std::vector<std::thread> senders;
  struct Release {
    TEvent& gate;
    std::vector<std::thread>& senders;
    ~Release() {
      gate.Set();
      for (std::thread& sender : senders) {
        if (sender.joinable()) {
          sender.join();
        }
      }
    }
  } release{gate, senders};
  for (int c = 0; c < Clients; ++c) {
    clients.push_back(std::make_unique<TLoopbackClient>(port));
    ASSERT_TRUE(clients.back()->Connected());
  }
  ASSERT_TRUE(recorder.WaitForCount(evConnect, Clients));
  for (int c = 0; c < Clients; ++c) {
    senders.emplace_back([&, c] {
      std::string stream;
      for (std::uint32_t i = 0; i < Records; ++i) {
        std::string record(RecordSize, 'r');
        record[0] = static_cast<char>(c);
        record[1] = static_cast<char>(i >> 16);
        record[2] = static_cast<char>(i >> 8);
        record[3] = static_cast<char>(i);
        stream += TPKTFrame(record);
      }
      clients[static_cast<std::size_t>(c)]->Send(stream);
    });
  }

  // Full by bytes: the next item would not fit, and far fewer than MaxCount wait.
  const std::size_t cost =
      TReceiveManagerQueue::Cost(tTCPEventItem{evReceive, nullptr, std::string(RecordSize, 'r')});
  ASSERT_TRUE(WaitForCondition(
      [&] { return server->QueuedEventBytes() + cost > TReceiveManagerQueue::MaxBytes; }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LT(server->QueuedEvents(), TReceiveManagerQueue::MaxCount);
  EXPECT_LT(server->QueuedEventBytes(), TReceiveManagerQueue::MaxBytes + cost);

  gate.Set();
  for (std::thread& sender : senders) {
    sender.join();
  }
  for (auto& client : clients) {
    client->Close();
  }
  ASSERT_TRUE(recorder.WaitForCount(evDisconnect, Clients, 60000));
  std::lock_guard guard(lock);
  for (int c = 0; c < Clients; ++c) {
    SCOPED_TRACE(c);
    ASSERT_EQ(sequences[c].size(), static_cast<std::size_t>(Records));
    for (std::uint32_t i = 0; i < Records; ++i) {
      ASSERT_EQ(sequences[c][i], i);
    }
  }
}

// A busy connection grows its receive buffer out of the listener's allowance and gives it all
// back once idle; every record arrives whole either way.
TEST(TCPServerTest, ReceiveBufferGrowthIsTakenFromTheAllowanceAndReturnedWhenIdle) {
  constexpr std::uint32_t Records = 2000;
  constexpr std::size_t RecordSize = 1000;
  TEvent gate;
  std::atomic<std::uint32_t> received{0};
  TCPEventRecorder recorder;
  const auto server = TTPKTTCPServer::Create(
      "127.0.0.1",
      [&](TIPConnection&, const void*, std::uint32_t size) {
        gate.WaitFor(60000);
        if (size == RecordSize) {
          received.fetch_add(1);
        }
      },
      nullptr, recorder.Disconnect(), recorder.Connect(), 0);
  const std::uint16_t port = WaitForBoundPort(*server);
  EXPECT_EQ(server->ReceiveGrowthLeft(), TCustomTCPServer::ReceiveGrowthBytes);

  TLoopbackClient client(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 1));
  std::string stream;
  for (std::uint32_t i = 0; i < Records; ++i) {
    stream += TPKTFrame(std::string(RecordSize, 'g'));
  }
  std::thread sender([&] { client.Send(stream); });
  struct Release {
    TEvent& gate;
    std::thread& sender;
    ~Release() {
      gate.Set();
      if (sender.joinable()) {
        sender.join();
      }
    }
  } release{gate, sender};

  EXPECT_TRUE(WaitForCondition(
      [&] { return server->ReceiveGrowthLeft() < TCustomTCPServer::ReceiveGrowthBytes; }, 30000));
  gate.Set();
  sender.join();
  ASSERT_TRUE(WaitForCondition([&] { return received.load() == Records; }, 60000));
  EXPECT_TRUE(WaitForCondition(
      [&] { return server->ReceiveGrowthLeft() == TCustomTCPServer::ReceiveGrowthBytes; }, 10000));
}

}  // namespace

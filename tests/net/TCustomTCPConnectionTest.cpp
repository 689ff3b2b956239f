#include "net/TCustomTCPConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/uTCPServer.h"
#include "tests/net/LoopbackClient.h"
#include "tests/net/TCPTestSupport.h"

namespace {

using Event = TCPEventRecorder::Event;
constexpr std::int32_t MaxChunk = TCustomTCPConnection::MaxChunk;

// A listener on a free loopback port with every handler recording, and one connected client.
struct Connected {
  TCPEventRecorder recorder;
  std::unique_ptr<TCustomTCPServer> server;
  std::unique_ptr<TLoopbackClient> client;

  explicit Connected(TTCPServerClass serverClass) {
    server = serverClass("127.0.0.1", recorder.Receive(), recorder.Send(), recorder.Disconnect(),
                         recorder.Connect(), 0);
    client = std::make_unique<TLoopbackClient>(WaitForBoundPort(*server));
  }
  bool Ready() { return client->Connected() && recorder.WaitForCount(evConnect, 1); }
};

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>(i * 7 + i / 251);
  }
  return bytes;
}

std::vector<std::size_t> SendSizes(const std::vector<Event>& events) {
  std::vector<std::size_t> sizes;
  for (const Event& event : events) {
    if (event.Kind == evSend) {
      sizes.push_back(event.Data.size());
    }
  }
  return sizes;
}

TEST(TCustomTCPConnectionTest, EmptySendOverTPKTWritesTheProbeFrame) {
  Connected connected(&TTPKTTCPServer::Create);
  ASSERT_TRUE(connected.Ready());
  connected.server->SendToClient(0, nullptr, 0);
  EXPECT_EQ(connected.client->Receive(4), std::string("\x03\x00\x00\x04", 4));
  ASSERT_TRUE(connected.recorder.WaitForCount(evSend, 1));
  const Event sent = connected.recorder.Events().back();
  EXPECT_EQ(sent.Kind, evSend);
  EXPECT_TRUE(sent.NullPacket);
  EXPECT_TRUE(sent.Data.empty());
}

TEST(TCustomTCPConnectionTest, EmptySendOverPassThroughWritesNothing) {
  Connected connected(&TSimpleTCPServer::Create);
  ASSERT_TRUE(connected.Ready());
  connected.server->SendToClient(0, nullptr, 0);
  connected.server->SendToClient(0, "x", 1);
  // Chunks go out in order, so the first byte the peer sees shows whether the empty write
  // produced any.
  EXPECT_EQ(connected.client->Receive(1), "x");
  ASSERT_TRUE(connected.recorder.WaitForCount(evSend, 2));
  EXPECT_EQ(SendSizes(connected.recorder.Events()), (std::vector<std::size_t>{0, 1}));
}

TEST(TCustomTCPConnectionTest, LargeSendIsCutIntoMaxChunks) {
  const std::string data = Pattern(2 * MaxChunk + 1);
  const std::vector<std::size_t> chunks = {MaxChunk, MaxChunk, 1};

  Connected plain(&TSimpleTCPServer::Create);
  ASSERT_TRUE(plain.Ready());
  plain.server->SendToClient(0, data.data(), static_cast<std::int32_t>(data.size()));
  EXPECT_EQ(plain.client->Receive(data.size()), data);
  ASSERT_TRUE(plain.recorder.WaitForCount(evSend, 3));
  EXPECT_EQ(SendSizes(plain.recorder.Events()), chunks);

  Connected tpkt(&TTPKTTCPServer::Create);
  ASSERT_TRUE(tpkt.Ready());
  tpkt.server->SendToClient(0, data.data(), static_cast<std::int32_t>(data.size()));
  // A chunk of 65533 bytes has no TPKT frame (its payload passes 65531): nothing is written for
  // the first two, only the 1-byte chunk arrives.
  EXPECT_EQ(tpkt.client->Receive(5), TPKTFrame(data.substr(2 * MaxChunk)));
  ASSERT_TRUE(tpkt.recorder.WaitForCount(evSend, 3));
  const std::vector<Event> events = tpkt.recorder.Events();
  EXPECT_EQ(SendSizes(events), chunks);
  std::string sentData;
  for (const Event& event : events) {
    if (event.Kind == evSend) {
      sentData += event.Data;
    }
  }
  EXPECT_EQ(sentData, data);
}

TEST(TCustomTCPConnectionTest, LargestTPKTPayloadGoesOutAsOneFrame) {
  Connected connected(&TTPKTTCPServer::Create);
  ASSERT_TRUE(connected.Ready());
  const std::string payload = Pattern(65531);
  connected.server->SendToClient(0, payload.data(), static_cast<std::int32_t>(payload.size()));
  connected.server->SendToClient(0, "y", 1);
  EXPECT_EQ(connected.client->Receive(65535 + 5), TPKTFrame(payload) + TPKTFrame("y"));
}

// More than the socket buffers hold, to a client that does not read at first: writes go out in
// part, and each remainder must leave before the next chunk.
TEST(TCustomTCPConnectionTest, PartialWritesKeepTheStreamWhole) {
  Connected connected(&TTPKTTCPServer::Create);
  ASSERT_TRUE(connected.Ready());
  std::string expected;
  for (int i = 0; i < 400; ++i) {
    const std::string payload = Pattern(40000 + static_cast<std::size_t>(i) * 61);
    connected.server->SendToClient(0, payload.data(), static_cast<std::int32_t>(payload.size()));
    expected += TPKTFrame(payload);
  }
  EXPECT_TRUE(WaitForCondition([&] {
    std::size_t queued = 0;
    connected.server->WithConnection(
        0, [&](TCustomTCPConnection& connection) { queued = connection.QueuedChunks(); });
    return queued < 400;
  }));
  const std::string received = connected.client->Receive(expected.size(), 60000);
  ASSERT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

TEST(TCustomTCPConnectionTest, EventsOfAConnectionArriveInOrderWithDisconnectLast) {
  Connected connected(&TTPKTTCPServer::Create);
  ASSERT_TRUE(connected.Ready());
  ASSERT_TRUE(connected.client->Send(TPKTFrame("one") + std::string("\x03\x00\x00\x04", 4) +
                                     TPKTFrame("two")));
  ASSERT_TRUE(connected.recorder.WaitForCount(evReceive, 2));
  ASSERT_TRUE(connected.client->Send(TPKTFrame("three")));
  ASSERT_TRUE(connected.recorder.WaitForCount(evReceive, 3));
  connected.client->Close();
  ASSERT_TRUE(connected.recorder.WaitForCount(evDisconnect, 1));

  const std::vector<Event> events = connected.recorder.Events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].Kind, evConnect);
  EXPECT_EQ(events[0].RemoteAddress, "127.0.0.1");
  EXPECT_EQ(events[0].RemotePort, connected.client->LocalPort());
  EXPECT_EQ(events[1].Data, "one");
  EXPECT_EQ(events[2].Data, "two");
  EXPECT_EQ(events[3].Data, "three");
  EXPECT_EQ(events[4].Kind, evDisconnect);
  for (const Event& event : events) {
    EXPECT_EQ(event.Client, 0);
  }
  EXPECT_TRUE(WaitForCondition([&] { return connected.server->ConnectionCount() == 0; }));
}

TEST(TCustomTCPConnectionTest, PeerClosingMidFrameGivesDisconnectAndNoPartialPacket) {
  Connected connected(&TTPKTTCPServer::Create);
  ASSERT_TRUE(connected.Ready());
  ASSERT_TRUE(connected.client->Send(TPKTFrame("whole") + TPKTFrame("cut short").substr(0, 7)));
  connected.client->Close();
  ASSERT_TRUE(connected.recorder.WaitForCount(evDisconnect, 1));
  const std::vector<Event> events = connected.recorder.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].Kind, evReceive);
  EXPECT_EQ(events[1].Data, "whole");
  EXPECT_EQ(events[2].Kind, evDisconnect);
}

TEST(TCustomTCPConnectionTest, PassThroughDeliversTheStreamAsItComes) {
  Connected connected(&TSimpleTCPServer::Create);
  ASSERT_TRUE(connected.Ready());
  const std::string data = Pattern(200000);
  ASSERT_TRUE(connected.client->Send(data));
  connected.client->Close();
  ASSERT_TRUE(connected.recorder.WaitForCount(evDisconnect, 1));
  std::string received;
  for (const Event& event : connected.recorder.Events()) {
    if (event.Kind == evReceive) {
      EXPECT_FALSE(event.Data.empty());
      EXPECT_LE(event.Data.size(), static_cast<std::size_t>(MaxChunk));
      received += event.Data;
    }
  }
  EXPECT_EQ(received, data);
}

TEST(TCustomTCPConnectionTest, SocketOptionsReachTheConnectedSocket) {
  Connected connected(&TTPKTTCPServer::Create);
  ASSERT_TRUE(connected.Ready());
  int result = 1;
  const int one = 1;
  EXPECT_TRUE(connected.server->WithConnection(0, [&](TCustomTCPConnection& connection) {
    result = connection.SetSocketOption(SocketLevelTcp, SocketOptionNoDelay, &one, sizeof one);
  }));
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(connected.server->WithConnection(1, [](TCustomTCPConnection&) {}));
}

// An idle connection waits for its socket without a time limit; a stop request still ends it at
// once, and an idle connection still serves what comes later: records and queued chunks.
TEST(TCustomTCPConnectionTest, AnIdleConnectionWakesForTrafficAndForAStopRequest) {
  Connected connected(&TTPKTTCPServer::Create);
  ASSERT_TRUE(connected.Ready());
  // Long enough for several of the busy loop's waits: the connection is idle now.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(connected.client->Send(TPKTFrame("late")));
  ASSERT_TRUE(connected.recorder.WaitForCount(evReceive, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  connected.server->SendToClient(0, "out", 3);
  EXPECT_EQ(connected.client->Receive(7), TPKTFrame("out"));

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(connected.server->WithConnection(
      0, [](TCustomTCPConnection& connection) { connection.RequestStop(); }));
  EXPECT_TRUE(connected.client->WaitForClose(10000));
  // Asked to stop, it raises no disconnect event.
  EXPECT_EQ(TCPEventRecorder::Count(connected.recorder.Events(), evDisconnect), 0u);
}

}  // namespace

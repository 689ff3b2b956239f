#include "platform/uSocket.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

// A loopback TCP pair: a listener on port 0, a client connected to it and the accepted side.
struct TLoopbackPair {
  TLoopbackPair() {
    std::uint32_t loopback = 0;
    ParseIPv4Address("127.0.0.1", loopback);
    Listener = OpenTcpSocket();
    std::uint16_t port = 0;
    if (BindSocket(Listener, loopback, 0) == 0 && ListenSocket(Listener, 1) == 0 &&
        GetLocalPort(Listener, port) == 0) {
      Client = OpenTcpSocket();
      if (ConnectSocket(Client, loopback, port) == 0) {
        std::uint32_t peer = 0;
        std::uint16_t peerPort = 0;
        Server = AcceptSocket(Listener, peer, peerPort);
      }
    }
  }
  ~TLoopbackPair() {
    for (const TSocket socket : {Client, Server, Listener}) {
      if (socket != InvalidSocket) {
        CloseSocket(socket);
      }
    }
  }
  TSocket Listener = InvalidSocket;
  TSocket Client = InvalidSocket;
  TSocket Server = InvalidSocket;
};

// More than the socket buffers hold, so the sender blocks and may send in parts.
TEST(SendAllBytesTest, DeliversEveryByteOfALargeBuffer) {
  TLoopbackPair pair;
  ASSERT_NE(pair.Server, InvalidSocket);
  std::string sent(8 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) {
    sent[i] = static_cast<char>(i * 7 + i / 251);
  }
  std::string received;
  std::thread reader([&] {
    char buffer[65536];
    while (received.size() < sent.size()) {
      const long got = ReceiveBytes(pair.Server, buffer, sizeof buffer);
      if (got <= 0) {
        break;
      }
      received.append(buffer, static_cast<std::size_t>(got));
    }
  });
  const bool ok = SendAllBytes(pair.Client, sent.data(), sent.size());
  ShutdownSocket(pair.Client);
  reader.join();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
}

TEST(SendAllBytesTest, FailsOnASocketThatCannotSend) {
  const char bytes[] = "abc";
  EXPECT_FALSE(SendAllBytes(InvalidSocket, bytes, sizeof bytes));
  const TSocket unconnected = OpenTcpSocket();
  EXPECT_FALSE(SendAllBytes(unconnected, bytes, sizeof bytes));
  CloseSocket(unconnected);
}

TEST(ShutdownSocketWriteTest, PeerReadsTheEndOfTheStreamAndCanStillAnswer) {
  TLoopbackPair pair;
  ASSERT_NE(pair.Server, InvalidSocket);
  ASSERT_TRUE(SendAllBytes(pair.Client, "last", 4));
  ASSERT_EQ(ShutdownSocketWrite(pair.Client), 0);
  char buffer[16];
  std::string received;
  for (long got; (got = ReceiveBytes(pair.Server, buffer, sizeof buffer)) > 0;) {
    received.append(buffer, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(received, "last");
  // The other direction stays open.
  ASSERT_TRUE(SendAllBytes(pair.Server, "ok", 2));
  ASSERT_EQ(ReceiveBytes(pair.Client, buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer, 2), "ok");
}

TEST(ConnectSocketWithinTest, ConnectsToAListenerAndReportsARefusal) {
  TLoopbackPair pair;
  std::uint16_t port = 0;
  ASSERT_EQ(GetLocalPort(pair.Listener, port), 0);
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket client = OpenTcpSocket();
  EXPECT_EQ(ConnectSocketWithin(client, loopback, port, 5000), 0);
  CloseSocket(client);

  // A port that was just free: nothing listens there.
  const TSocket unused = OpenTcpSocket();
  std::uint16_t freePort = 0;
  BindSocket(unused, loopback, 0);
  GetLocalPort(unused, freePort);
  CloseSocket(unused);
  const TSocket refused = OpenTcpSocket();
  EXPECT_EQ(ConnectSocketWithin(refused, loopback, freePort, 5000), -1);
  const int error = LastSocketError();
  EXPECT_NE(error, 0);
  EXPECT_NE(error, SocketErrorTimedOut);
  EXPECT_FALSE(SocketErrorText(error).empty());
  CloseSocket(refused);
}

TEST(LookupIPv4HostTest, NumericAndLocalNamesResolveAndAnInvalidNameGivesTheResolversCode) {
  std::uint32_t address = 0;
  ASSERT_EQ(LookupIPv4Host("127.0.0.1", address), 0);
  EXPECT_EQ(FormatIPv4Address(address), "127.0.0.1");
  ASSERT_EQ(LookupIPv4Host("localhost", address), 0);
  EXPECT_EQ(FormatIPv4Address(address).rfind("127.", 0), 0u);
  const int error = LookupIPv4Host("no-such-host.invalid", address);
  EXPECT_NE(error, 0);
  EXPECT_FALSE(HostLookupErrorText(error).empty());
}

}  // namespace

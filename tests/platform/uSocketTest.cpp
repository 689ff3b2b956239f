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

}  // namespace

#include "net/uTCPServer.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/net/LoopbackClient.h"
#include "tests/net/TCPTestSupport.h"

// The listener under Winsock: a taken port shows WSAEADDRINUSE (10048), the code that the server's
// "FAIL while create listen point [code=10048]" line carries, and its own port cannot be taken
// over by a program that asks for SO_REUSEADDR (Winsock refuses it with WSAEACCES, 10013).

namespace {

constexpr int WsaEAccess = 10013;
constexpr int WsaEAddrInUse = 10048;

std::unique_ptr<TCustomTCPServer> RecordingServer(TCPEventRecorder& recorder, std::uint16_t port) {
  return TTPKTTCPServer::Create("127.0.0.1", recorder.Receive(), recorder.Send(),
                                recorder.Disconnect(), recorder.Connect(), port);
}

TEST(TCPServerWin32Test, ATakenPortShows10048) {
  std::uint32_t loopback = 0;
  ASSERT_TRUE(ParseIPv4Address("127.0.0.1", loopback));
  const TSocket holder = OpenTcpSocket();
  ASSERT_EQ(BindSocket(holder, loopback, 0), 0);
  ASSERT_EQ(ListenSocket(holder, 1), 0);
  std::uint16_t port = 0;
  ASSERT_EQ(GetLocalPort(holder, port), 0);

  TCPEventRecorder recorder;
  const auto server = RecordingServer(recorder, port);
  EXPECT_TRUE(WaitForCondition([&] { return server->FLastError() == WsaEAddrInUse; }));
  CloseSocket(holder);
  EXPECT_TRUE(WaitForCondition([&] { return server->BoundPort() == port; }));
}

TEST(TCPServerWin32Test, ItsPortCannotBeTakenOverWithReuseAddress) {
  TCPEventRecorder recorder;
  const auto server = RecordingServer(recorder, 0);
  const std::uint16_t port = WaitForBoundPort(*server);
  ASSERT_NE(port, 0);

  std::uint32_t loopback = 0;
  ASSERT_TRUE(ParseIPv4Address("127.0.0.1", loopback));
  const TSocket squatter = OpenTcpSocket();
  const int one = 1;
  ASSERT_EQ(SetSocketOption(squatter, SocketLevelSocket, SocketOptionReuseAddr, &one, sizeof one),
            0);
  EXPECT_NE(BindSocket(squatter, loopback, port), 0);
  EXPECT_EQ(LastSocketError(), WsaEAccess);
  CloseSocket(squatter);

  // The clients still reach the server.
  TLoopbackClient client(port);
  EXPECT_TRUE(client.Connected());
  EXPECT_TRUE(recorder.WaitForCount(evConnect, 1));
}

}  // namespace

#include "platform/uSocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// What only Winsock does: exclusive port use, its error codes, the datagram that does not fit.

namespace {

constexpr int WsaEAccess = 10013;
constexpr int WsaEAddrInUse = 10048;
constexpr int WsaEMsgSize = 10040;

std::uint32_t Loopback() {
  std::uint32_t address = 0;
  ParseIPv4Address("127.0.0.1", address);
  return address;
}

// A second socket on a port that a listener holds cannot bind it, whatever it asks for: with
// SO_REUSEADDR on Windows it could otherwise take the port over. Winsock refuses that one with
// WSAEACCES (10013), the others with WSAEADDRINUSE (10048).
TEST(uSocketWin32Test, ASecondListenerOnThePortFailsWith10048) {
  const TSocket first = OpenTcpSocket();
  ASSERT_NE(first, InvalidSocket);
  ASSERT_EQ(SetReuseAddress(first), 0);
  ASSERT_EQ(BindSocket(first, Loopback(), 0), 0);
  ASSERT_EQ(ListenSocket(first, 8), 0);
  std::uint16_t port = 0;
  ASSERT_EQ(GetLocalPort(first, port), 0);

  enum class TAsk { Nothing, ExclusiveUse, ReuseAddress };
  struct Case {
    TAsk ask;
    int code;
  };
  for (const Case c : {Case{TAsk::Nothing, WsaEAddrInUse}, Case{TAsk::ExclusiveUse, WsaEAddrInUse},
                       Case{TAsk::ReuseAddress, WsaEAccess}}) {
    const TAsk ask = c.ask;
    SCOPED_TRACE(static_cast<int>(ask));
    const TSocket second = OpenTcpSocket();
    ASSERT_NE(second, InvalidSocket);
    if (ask == TAsk::ExclusiveUse) {
      EXPECT_EQ(SetReuseAddress(second), 0);
    } else if (ask == TAsk::ReuseAddress) {
      const int one = 1;
      EXPECT_EQ(SetSocketOption(second, SocketLevelSocket, SocketOptionReuseAddr, &one, sizeof one),
                0);
    }
    EXPECT_NE(BindSocket(second, Loopback(), port), 0);
    EXPECT_EQ(LastSocketError(), c.code);
    CloseSocket(second);
  }
  EXPECT_TRUE(IsAddressInUseError(WsaEAddrInUse));
  CloseSocket(first);
}

TEST(uSocketWin32Test, ADatagramLongerThanTheBufferFailsWith10040) {
  const TSocket receiver = OpenUdpSocket();
  const TSocket sender = OpenUdpSocket();
  ASSERT_EQ(BindSocket(receiver, Loopback(), 0), 0);
  std::uint16_t port = 0;
  ASSERT_EQ(GetLocalPort(receiver, port), 0);
  const std::string datagram(9000, 'x');
  ASSERT_EQ(SendDatagram(sender, datagram.data(), datagram.size(), Loopback(), port), 9000);
  ASSERT_TRUE(WaitSocket(receiver, false, nullptr, 10000).Readable);
  std::vector<char> buffer(8192);
  std::uint32_t from = 0;
  std::uint16_t fromPort = 0;
  const long length = ReceiveDatagram(receiver, buffer.data(), buffer.size(), from, fromPort);
  EXPECT_EQ(LastSocketError(), WsaEMsgSize);
  EXPECT_EQ(SocketErrorMessageSize, WsaEMsgSize);
  // Winsock does not tell the real length; any length beyond the buffer says "did not fit".
  EXPECT_GT(length, 8192);
  EXPECT_EQ(FormatIPv4Address(from), "127.0.0.1");
  CloseSocket(sender);
  CloseSocket(receiver);
}

// Empty text is no address and no host name, though Winsock would take it for the local computer.
TEST(uSocketWin32Test, EmptyTextIsNoAddress) {
  std::uint32_t address = 7;
  EXPECT_FALSE(ParseIPv4Address("", address));
  EXPECT_FALSE(ResolveIPv4Host("", address));
  EXPECT_EQ(address, 7u);
}

}  // namespace

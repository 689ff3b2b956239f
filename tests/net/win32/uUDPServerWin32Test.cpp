#include "net/uUDPServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/net/UDPTestSupport.h"

// The datagram server under Winsock: recvfrom reports a datagram longer than the buffer with
// WSAEMSGSIZE (10040) instead of its length; the server drops it and keeps the code.

namespace {

using Events = std::vector<udptest::TRecordedEvent>;

constexpr int WsaEMsgSize = 10040;

TEST(UDPServerWin32Test, ADatagramOf9000BytesIsDroppedWith10040) {
  udptest::TEventLog log;
  auto server = std::make_unique<tUDPServer>("127.0.0.1", log.Receive(), log.Send(),
                                             log.Disconnect(), log.Connect(), 0);
  std::int32_t code = -1;
  ASSERT_TRUE(server->WaitForStart(10000, code));
  const std::uint16_t port = server->BoundPort();

  udptest::TPeer peer;
  peer.SendTo(port, std::string(9000, 'x'));
  peer.SendTo(port, "after");
  ASSERT_TRUE(log.WaitForCount(2));
  EXPECT_EQ(log.Events(), (Events{{'C', 0, "127.0.0.1", peer.Port, ""},
                                  {'R', 0, "127.0.0.1", peer.Port, "after"}}));
  EXPECT_EQ(server->LastError(), WsaEMsgSize);
  server->Terminate();
  server->WaitFor();
}

}  // namespace

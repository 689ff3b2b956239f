#include "net/uIPServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "LoopbackClient.h"
#include "UDPTestSupport.h"

namespace {

using udptest::TEventLog;
using udptest::TPeer;
using Events = std::vector<udptest::TRecordedEvent>;

// Polls WaitForStart until the server runs or has recorded an error, for up to 10 s.
std::int32_t SettledStartCode(TIPServerComponent& component, bool& started) {
  std::int32_t code = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    started = component.WaitForStart(50, code);
  } while (!started && code == TIPServerComponent::ErrorTimeout &&
           std::chrono::steady_clock::now() < deadline);
  return code;
}

TEST(IPServerComponentTest, InactiveComponentsHaveNeutralResults) {
  struct Case {
    std::unique_ptr<TIPServerComponent> component;
    int optionResult;
  };
  Case cases[2];
  cases[0] = {std::make_unique<TTCPServerComponent>(), -2};
  cases[1] = {std::make_unique<TUDPServerComponent>(), -1};
  for (auto& [component, optionResult] : cases) {
    TPeer peer;
    EXPECT_FALSE(component->GetActive());
    EXPECT_FALSE(component->ClientExists(0));
    component->SendBufferTo(0, "x", 1);
    component->SendText(nullptr, "x");
    component->SendBufferToAddress("127.0.0.1", peer.Port, "x", 1);
    component->SendBufferToAll("x", 1);
    component->SendBufferToAll(nullptr, 0);
    component->DisconnectClient(0);
    std::string data;
    EXPECT_FALSE(peer.Receive(data, 50));
    const int one = 1;
    EXPECT_EQ(
        component->SetClientOption(0, SocketLevelSocket, SocketOptionReuseAddr, &one, sizeof one),
        optionResult);
    std::int32_t code = 0;  // at once, whatever the time-out
    EXPECT_FALSE(component->WaitForStart(std::numeric_limits<std::uint32_t>::max(), code));
    EXPECT_EQ(code, TIPServerComponent::ErrorInvalidHandle);
  }
}

// A TCP component on 127.0.0.1 and a port of its own, with one client connected.
class TCPServerComponentTest : public ::testing::Test {
 protected:
  void Activate(TTCPServerClass serverClass) {
    Component.SetServerClass(serverClass);
    Component.SetServerClass(nullptr);  // ignored
    Component.SetIPAddress("127.0.0.1");
    Component.SetOnReceive(Log.Receive());
    Component.SetOnConnect(Log.Connect());
    Component.SetOnDisconnect(Log.Disconnect());
    Component.SetActive(true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Component.BoundPort() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Client = std::make_unique<TLoopbackClient>(Component.BoundPort());
    ASSERT_TRUE(Client->Connected());
    ASSERT_TRUE(Log.WaitForCount(1));
    // The connect event may come before the listener has entered the connection in its table.
    while (!Component.ClientExists(0) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(Component.ClientExists(0));
  }

  TEventLog Log;
  TTCPServerComponent Component;  // stopped before Log goes
  std::unique_ptr<TLoopbackClient> Client;
};

TEST_F(TCPServerComponentTest, TPKTComponentProbesItsClients) {
  Activate(&TTPKTTCPServer::Create);
  Component.ProbeClients();
  Component.SendBufferToAll(nullptr, 0);  // a probe too
  Component.SendTextTo(0, "hi");
  Component.SendBufferToAddress("127.0.0.1", Client->LocalPort(), "x", 1);  // nothing
  EXPECT_EQ(Client->Receive(14), std::string("\x03\x00\x00\x04\x03\x00\x00\x04\x03\x00\x00\x06"
                                             "hi",
                                             14));
  ASSERT_TRUE(
      Client->Send(std::string("\x03\x00\x00\x07"
                               "abc",
                               7)));
  ASSERT_TRUE(Log.WaitForCount(2));
  EXPECT_EQ(Log.Events().back().Data, "abc");
  const int one = 1;
  EXPECT_EQ(Component.SetClientOption(0, SocketLevelTcp, SocketOptionNoDelay, &one, sizeof one), 0);
  EXPECT_EQ(Component.SetClientOption(1, SocketLevelTcp, SocketOptionNoDelay, &one, sizeof one),
            -2);
  EXPECT_EQ(Component.ServerErrorCode(), 0);
}

TEST_F(TCPServerComponentTest, NewComponentPassesTheStreamThroughAndActiveTwiceKeepsIt) {
  Activate(nullptr);          // the class a new component starts with
  Component.SetActive(true);  // no new listener: the client stays connected
  Component.SendTextTo(0, "raw");
  Component.SendText(nullptr, "not sent");
  EXPECT_EQ(Client->Receive(3), "raw");
  // Bytes as they come off the stream: no frame is looked for.
  ASSERT_TRUE(Client->Send("\x03xyz"));
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (received.size() < 4 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    received.clear();
    for (const auto& event : Log.Events()) {
      received += event.Data;
    }
  }
  EXPECT_EQ(received, "\x03xyz");

  // Stopped by the component, the connection closes without a disconnect event and keeps its
  // number until the listener stops.
  Component.DisconnectClient(0);
  EXPECT_TRUE(Client->WaitForClose());
  EXPECT_TRUE(Component.ClientExists(0));
  Component.SetActive(false);
  EXPECT_FALSE(Component.ClientExists(0));
  for (const auto& event : Log.Events()) {
    EXPECT_NE(event.Kind, 'D');
  }
}

TEST(TCPServerComponentBindTest, TakenPortShowsInServerErrorCode) {
  std::uint32_t loopback = udptest::Loopback();
  const TSocket holder = OpenTcpSocket();
  std::uint16_t port = 0;
  ASSERT_EQ(BindSocket(holder, loopback, 0), 0);
  ASSERT_EQ(ListenSocket(holder, 1), 0);
  ASSERT_EQ(GetLocalPort(holder, port), 0);
  TTCPServerComponent component;
  component.SetIPAddress("127.0.0.1");
  component.SetIPPort(port);
  component.SetActive(true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!IsAddressInUseError(component.ServerErrorCode()) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(IsAddressInUseError(component.ServerErrorCode())) << component.ServerErrorCode();
  EXPECT_TRUE(component.GetActive());  // the listener keeps trying
  component.SetActive(false);
  EXPECT_FALSE(component.GetActive());
  CloseSocket(holder);
}

class UDPServerComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Component.SetIPAddress("127.0.0.1");
    Component.SetOnReceive(Log.Receive());
    Component.SetOnSend(Log.Send());
    Component.SetOnConnect(Log.Connect());
    Component.SetOnDisconnect(Log.Disconnect());
  }

  void Activate() {
    Component.SetActive(true);
    std::int32_t code = -1;
    ASSERT_TRUE(Component.WaitForStart(10000, code));
    ASSERT_EQ(code, 0);
    Port = Component.BoundPort();
  }

  TEventLog Log;
  TUDPServerComponent Component;  // stopped before Log goes
  std::uint16_t Port = 0;
};

TEST_F(UDPServerComponentTest, ActiveTrueTwiceKeepsTheOneServer) {
  Activate();
  TPeer a;
  a.SendTo(Port, "one");
  ASSERT_TRUE(Log.WaitForCount(2));
  Component.SetActive(true);
  a.SendTo(Port, "two");
  // A new server would not know the peer and would raise a connect first.
  ASSERT_TRUE(Log.WaitForCount(3));
  EXPECT_EQ(Log.Events().back(), (udptest::TRecordedEvent{'R', 0, "127.0.0.1", a.Port, "two"}));
  EXPECT_TRUE(Component.ClientExists(0));
  Component.SetActive(false);
  EXPECT_FALSE(Component.GetActive());
  EXPECT_FALSE(Component.ClientExists(0));
}

TEST_F(UDPServerComponentTest, TakenPortStillActiveAndSettingsWaitForRestart) {
  Activate();
  TPeer holder;  // a taken port
  Component.SetIPPort(holder.Port);
  Component.SetOnReceive(nullptr);
  TPeer a;
  a.SendTo(Port, "old port, old handler");
  ASSERT_TRUE(Log.WaitForCount(2));
  EXPECT_EQ(Log.Events().back().Data, "old port, old handler");

  Component.SetActive(false);
  Component.SetActive(true);
  bool started = true;
  EXPECT_EQ(SettledStartCode(Component, started), udptest::BindErrorOf(holder.Port));
  EXPECT_FALSE(started);
  EXPECT_TRUE(Component.GetActive());
  Component.SetActive(true);  // active already: no second attempt
  std::int32_t code = 0;
  EXPECT_FALSE(Component.WaitForStart(50, code));
  EXPECT_EQ(code, udptest::BindErrorOf(holder.Port));

  // Port 0 again: the new handler set is in force (no receive handler any more).
  Component.SetActive(false);
  Component.SetIPPort(0);
  Activate();
  a.SendTo(Port, "unseen");
  TPeer b;
  b.SendTo(Port, "unseen too");
  ASSERT_TRUE(Log.WaitForCount(4));
  EXPECT_EQ(Log.Events().size(), 4u);
  EXPECT_EQ(Log.Events().back().Kind, 'C');
}

TEST_F(UDPServerComponentTest, OperationTable) {
  Activate();
  TPeer a;
  TPeer b;
  a.SendTo(Port, "a");
  ASSERT_TRUE(Log.WaitForCount(2));
  Component.SendBufferToAll(nullptr, 0);  // one request per peer, each discarded
  Component.SendTextTo(0, "");            // nothing
  Component.SendBufferTo(0, "buf", 3);
  Component.SendTextTo(0, "text");
  Component.SendBufferToAddress("127.0.0.1", b.Port, "addr", 4);
  ASSERT_TRUE(Log.WaitForCount(6));  // b is in the table before SendTextToAll looks
  Component.SendTextToAll("all");
  Component.DisconnectClient(0);
  ASSERT_TRUE(Log.WaitForCount(9));
  const Events all = Log.Events();
  EXPECT_EQ(Events(all.begin() + 2, all.end()), (Events{{'S', 0, "127.0.0.1", a.Port, "buf"},
                                                        {'S', 0, "127.0.0.1", a.Port, "text"},
                                                        {'C', 1, "127.0.0.1", b.Port, ""},
                                                        {'S', 1, "127.0.0.1", b.Port, "addr"},
                                                        {'S', 0, "127.0.0.1", a.Port, "all"},
                                                        {'S', 1, "127.0.0.1", b.Port, "all"},
                                                        {'D', 0, "127.0.0.1", a.Port, ""}}));
  EXPECT_FALSE(Component.ClientExists(0));
  EXPECT_TRUE(Component.ClientExists(1));
  const int size = 1 << 20;  // the server's own socket, whatever the index
  EXPECT_EQ(
      Component.SetClientOption(999, SocketLevelSocket, SocketOptionRcvBuf, &size, sizeof size), 0);
}

TEST_F(UDPServerComponentTest, HandlerAnswersThroughTheClientItWasGiven) {
  std::mutex setUp;  // orders the handler's use of Component after its activation
  Component.SetOnReceive([this, &setUp](TIPConnection& sender, const void*, std::uint32_t size) {
    std::lock_guard lock(setUp);
    Component.SendText(&sender, "echo " + std::to_string(size));
  });
  std::unique_lock lock(setUp);
  Activate();
  lock.unlock();
  TPeer a;
  a.SendTo(Port, "12345");
  std::string data;
  ASSERT_TRUE(a.Receive(data));
  EXPECT_EQ(data, "echo 5");
  Component.SetActive(false);  // before the handler's mutex goes
}

}  // namespace

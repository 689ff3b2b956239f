#include "net/uIPServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "UDPTestSupport.h"

namespace {

using udptest::TEventLog;
using udptest::TPeer;
using udptest::TRecordedEvent;

constexpr std::uint32_t StartTimeoutMs = 10000;

// Polls WaitForStart until the server has recorded an error or runs, for up to 10 s.
std::int32_t SettledStartCode(TIPServerComponent& component, bool& started) {
  std::int32_t code = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    started = component.WaitForStart(50, code);
  } while (!started && code == TIPServerComponent::ErrorTimeout &&
           std::chrono::steady_clock::now() < deadline);
  return code;
}

// The code a bind of 127.0.0.1 and this taken port fails with.
std::int32_t AddressInUseCode(std::uint16_t port) {
  const TSocket probe = OpenUdpSocket();
  const int result = BindSocket(probe, udptest::Loopback(), port);
  const std::int32_t code = LastSocketError();
  CloseSocket(probe);
  EXPECT_NE(result, 0);
  return code;
}

TEST(IPServerComponentTest, InactiveComponentsHaveNeutralResults) {
  std::vector<std::unique_ptr<TIPServerComponent>> components;
  components.push_back(std::make_unique<TUDPServerComponent>());
  for (auto& component : components) {
    TPeer peer;
    component->SetIPAddress("127.0.0.1");
    EXPECT_FALSE(component->GetActive());
    EXPECT_FALSE(component->ClientExists(0));
    component->SendBufferTo(0, "x", 1);
    component->SendTextTo(0, "x");
    component->SendText(nullptr, "x");
    component->SendBuffer(nullptr, "x", 1);
    component->SendBufferToAddress("127.0.0.1", peer.Port, "x", 1);
    component->SendBufferToAll("x", 1);
    component->SendTextToAll("x");
    component->DisconnectClient(0);
    const int one = 1;
    EXPECT_EQ(
        component->SetClientOption(0, SocketLevelSocket, SocketOptionReuseAddr, &one, sizeof one),
        -1);
    // Returns at once, whatever the time-out.
    std::int32_t code = 0;
    EXPECT_FALSE(component->WaitForStart(std::numeric_limits<std::uint32_t>::max(), code));
    EXPECT_EQ(code, TIPServerComponent::ErrorInvalidHandle);
    std::string data;
    EXPECT_FALSE(peer.Receive(data, 100));
  }
}

class UDPServerComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Component.SetIPAddress("127.0.0.1");
    Component.SetIPPort(0);
    Component.SetOnReceive(Log.Receive());
    Component.SetOnSend(Log.Send());
    Component.SetOnConnect(Log.Connect());
    Component.SetOnDisconnect(Log.Disconnect());
  }

  void Activate() {
    Component.SetActive(true);
    std::int32_t code = -1;
    ASSERT_TRUE(Component.WaitForStart(StartTimeoutMs, code));
    ASSERT_EQ(code, 0);
    Port = Component.BoundPort();
    ASSERT_NE(Port, 0);
  }

  TEventLog Log;
  TUDPServerComponent Component;
  std::uint16_t Port = 0;
};

TEST_F(UDPServerComponentTest, ActiveTrueTwiceKeepsTheOneServer) {
  Activate();
  TPeer a;
  a.SendTo(Port, "one");
  ASSERT_TRUE(Log.WaitForCount(2));
  Component.SetActive(true);
  EXPECT_TRUE(Component.GetActive());
  EXPECT_EQ(Component.BoundPort(), Port);
  a.SendTo(Port, "two");
  // A new server would not know the peer and would raise a connect first.
  ASSERT_TRUE(Log.WaitForCount(3));
  EXPECT_EQ(Log.Events().back(), (TRecordedEvent{'R', 0, "127.0.0.1", a.Port, "two"}));
  EXPECT_TRUE(Component.ClientExists(0));
  EXPECT_FALSE(Component.ClientExists(1));

  Component.SetActive(false);
  EXPECT_FALSE(Component.GetActive());
  EXPECT_EQ(Component.BoundPort(), 0);
  EXPECT_FALSE(Component.ClientExists(0));
  Component.SetActive(false);
  EXPECT_FALSE(Component.GetActive());
}

TEST_F(UDPServerComponentTest, AddressAndPortReachOnlyTheNextServer) {
  Activate();
  TPeer holder;  // a taken port
  Component.SetIPPort(holder.Port);
  EXPECT_EQ(Component.IPPort(), holder.Port);
  TPeer a;
  a.SendTo(Port, "still here");
  ASSERT_TRUE(Log.WaitForCount(2));
  EXPECT_EQ(Log.Events().back().Data, "still here");

  Component.SetActive(false);
  Component.SetActive(true);
  bool started = true;
  EXPECT_EQ(SettledStartCode(Component, started), AddressInUseCode(holder.Port));
  EXPECT_FALSE(started);

  Component.SetActive(false);
  Component.SetIPPort(0);
  Component.SetIPAddress("not.an.address");
  Component.SetActive(true);
  EXPECT_EQ(SettledStartCode(Component, started), SocketErrorAddressNotAvailable);
  EXPECT_FALSE(started);
}

TEST_F(UDPServerComponentTest, TakenPortStillCountsAsActive) {
  TPeer holder;
  Component.SetIPPort(holder.Port);
  Component.SetActive(true);
  bool started = true;
  const std::int32_t code = SettledStartCode(Component, started);
  EXPECT_FALSE(started);
  EXPECT_EQ(code, AddressInUseCode(holder.Port));
  EXPECT_TRUE(Component.GetActive());
  // The full time-out passes before the answer: the server never runs.
  std::int32_t again = 0;
  EXPECT_FALSE(Component.WaitForStart(100, again));
  EXPECT_EQ(again, code);
  Component.SetActive(true);  // active already: no second attempt
  EXPECT_TRUE(Component.GetActive());
  Component.SetActive(false);
  EXPECT_FALSE(Component.GetActive());
}

TEST_F(UDPServerComponentTest, HandlerAssignedWhileActiveWaitsForRestart) {
  Component.SetOnReceive(nullptr);
  Activate();
  Component.SetOnReceive(Log.Receive());
  TPeer a;
  TPeer b;
  a.SendTo(Port, "unseen");
  ASSERT_TRUE(Log.WaitForCount(1));
  b.SendTo(Port, "unseen too");
  ASSERT_TRUE(Log.WaitForCount(2));
  // Had the receive handler been installed, each connect would be followed by a receive.
  EXPECT_EQ(Log.Events(), (std::vector<TRecordedEvent>{
                              {'C', 0, "127.0.0.1", a.Port, ""},
                              {'C', 1, "127.0.0.1", b.Port, ""},
                          }));
  Component.SetActive(false);
  Activate();
  a.SendTo(Port, "seen");
  ASSERT_TRUE(Log.WaitForCount(4));
  EXPECT_EQ(Log.Events().back(), (TRecordedEvent{'R', 0, "127.0.0.1", a.Port, "seen"}));
}

TEST_F(UDPServerComponentTest, OperationTable) {
  Activate();
  TPeer a;
  TPeer b;
  a.SendTo(Port, "a");
  ASSERT_TRUE(Log.WaitForCount(2));
  EXPECT_TRUE(Component.ClientExists(0));

  Component.SendBufferToAll(nullptr, 0);  // one request per peer, each discarded
  Component.SendTextTo(0, "");            // nothing
  Component.SendTextToAll("");            // nothing
  Component.SendBufferTo(0, "buf", 3);
  Component.SendTextTo(0, "text");
  Component.SendBufferToAddress("127.0.0.1", b.Port, "addr", 4);
  // SendTextToAll reaches the peers in the table when it is called: wait until b is in it.
  ASSERT_TRUE(Log.WaitForCount(6));
  Component.SendTextToAll("all");
  Component.DisconnectClient(0);
  ASSERT_TRUE(Log.WaitForCount(9));
  EXPECT_EQ(Log.Events(), (std::vector<TRecordedEvent>{
                              {'C', 0, "127.0.0.1", a.Port, ""},
                              {'R', 0, "127.0.0.1", a.Port, "a"},
                              {'S', 0, "127.0.0.1", a.Port, "buf"},
                              {'S', 0, "127.0.0.1", a.Port, "text"},
                              {'C', 1, "127.0.0.1", b.Port, ""},
                              {'S', 1, "127.0.0.1", b.Port, "addr"},
                              {'S', 0, "127.0.0.1", a.Port, "all"},
                              {'S', 1, "127.0.0.1", b.Port, "all"},
                              {'D', 0, "127.0.0.1", a.Port, ""},
                          }));
  EXPECT_FALSE(Component.ClientExists(0));
  EXPECT_TRUE(Component.ClientExists(1));
  for (const char* expected : {"buf", "text", "all"}) {
    std::string data;
    ASSERT_TRUE(a.Receive(data));
    EXPECT_EQ(data, expected);
  }
  const int size = 1 << 20;
  EXPECT_EQ(
      Component.SetClientOption(999, SocketLevelSocket, SocketOptionRcvBuf, &size, sizeof size), 0);
}

TEST_F(UDPServerComponentTest, HandlerAnswersThroughTheClientItWasGiven) {
  std::mutex componentLock;  // orders the handler's use of the component after its set-up
  Component.SetOnReceive(
      [this, &componentLock](TIPConnection& sender, const void*, std::uint32_t size) {
        std::lock_guard lock(componentLock);
        Component.SendText(&sender, "echo " + std::to_string(size));
        Component.SendBuffer(&sender, "raw", 3);
      });
  std::unique_lock lock(componentLock);
  Activate();
  lock.unlock();
  TPeer a;
  a.SendTo(Port, "12345");
  std::string data;
  ASSERT_TRUE(a.Receive(data));
  EXPECT_EQ(data, "echo 5");
  ASSERT_TRUE(a.Receive(data));
  EXPECT_EQ(data, "raw");
  Component.SetActive(false);  // before the handler's mutex goes
}

}  // namespace

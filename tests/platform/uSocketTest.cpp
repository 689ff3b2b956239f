#include "platform/uSocket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// A listener on 127.0.0.1 and a port of its own.
TSocket OpenListener(std::uint16_t& port) {
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket listener = OpenTcpSocket();
  EXPECT_EQ(BindSocket(listener, loopback, 0), 0);
  EXPECT_EQ(ListenSocket(listener, 4), 0);
  EXPECT_EQ(GetLocalPort(listener, port), 0);
  return listener;
}

// The stop of a listener: a shutdown from another thread ends a waiting accept, and an accept
// that begins after the shutdown fails at once, so a stop request can never be missed.
TEST(AcceptSocketTest, AShutdownEndsAWaitingAndALaterAccept) {
  std::uint16_t port = 0;
  const TSocket listener = OpenListener(port);
  TSocket accepted = 0;
  std::thread acceptor([&] {
    std::uint32_t peer = 0;
    std::uint16_t peerPort = 0;
    accepted = AcceptSocket(listener, peer, peerPort);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ShutdownSocket(listener), 0);
  acceptor.join();
  EXPECT_EQ(accepted, InvalidSocket);

  std::uint32_t peer = 0;
  std::uint16_t peerPort = 0;
  EXPECT_EQ(AcceptSocket(listener, peer, peerPort), InvalidSocket);
  CloseSocket(listener);
}

TEST(WaitSocketTest, ReadinessIsReportedAsLongAsItLasts) {
  TLoopbackPair pair;
  ASSERT_NE(pair.Server, InvalidSocket);
  ASSERT_EQ(SetSocketNonBlocking(pair.Server), 0);
  TSocketSignal signal;
  EXPECT_FALSE(signal.IsSet());

  // Nothing yet: both kinds of wait time out.
  TSocketWaitResult idle = WaitSocket(pair.Server, false, &signal, 50);
  EXPECT_FALSE(idle.Readable || idle.Writable || idle.Signalled || idle.Failed);
  idle = WaitSocket(pair.Server, false, nullptr, 50);
  EXPECT_FALSE(idle.Readable || idle.Writable || idle.Signalled || idle.Failed);

  // Data not taken stays readable on every wait, with and without the signal.
  ASSERT_TRUE(SendAllBytes(pair.Client, "abc", 3));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(WaitSocket(pair.Server, false, &signal, 5000).Readable);
    EXPECT_TRUE(WaitSocket(pair.Server, false, nullptr, 5000).Readable);
  }
  char buffer[16];
  EXPECT_EQ(ReceiveBytes(pair.Server, buffer, sizeof buffer), 3);
  EXPECT_FALSE(WaitSocket(pair.Server, false, &signal, 50).Readable);

  // A connected socket with room is writable on every wait that asks.
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(WaitSocket(pair.Server, true, nullptr, 5000).Writable);
    EXPECT_TRUE(WaitSocket(pair.Server, true, &signal, 5000).Writable);
  }

  // The signal stays set until it is reset.
  signal.Set();
  EXPECT_TRUE(signal.IsSet());
  EXPECT_TRUE(WaitSocket(pair.Server, false, &signal, 5000).Signalled);
  EXPECT_TRUE(WaitSocket(pair.Server, false, &signal, 5000).Signalled);
  signal.Reset();
  EXPECT_FALSE(signal.IsSet());
  EXPECT_FALSE(WaitSocket(pair.Server, false, &signal, 50).Signalled);

  // A closed peer reads as readable, and the read then gives 0, again and again.
  CloseSocket(pair.Client);
  pair.Client = InvalidSocket;
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(WaitSocket(pair.Server, false, &signal, 5000).Readable);
    EXPECT_EQ(ReceiveBytes(pair.Server, buffer, sizeof buffer), 0);
  }
}

// What comes during a wait ends it: the signal set by another thread, or data.
TEST(WaitSocketTest, ASignalOrDataDuringTheWaitEndsIt) {
  TLoopbackPair pair;
  ASSERT_NE(pair.Server, InvalidSocket);
  ASSERT_EQ(SetSocketNonBlocking(pair.Server), 0);
  TSocketSignal signal;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    signal.Set();
  });
  const TSocketWaitResult signalled = WaitSocket(pair.Server, false, &signal, 20000);
  setter.join();
  EXPECT_TRUE(signalled.Signalled);
  EXPECT_FALSE(signalled.Readable);
  signal.Reset();

  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SendAllBytes(pair.Client, "x", 1);
  });
  const TSocketWaitResult readable = WaitSocket(pair.Server, false, &signal, 20000);
  sender.join();
  EXPECT_TRUE(readable.Readable);
  EXPECT_FALSE(readable.Signalled);
}

TEST(ReceiveDatagramTest, ADatagramLongerThanTheBufferReportsMoreThanItHolds) {
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket receiver = OpenUdpSocket();
  const TSocket sender = OpenUdpSocket();
  ASSERT_EQ(BindSocket(receiver, loopback, 0), 0);
  std::uint16_t port = 0;
  ASSERT_EQ(GetLocalPort(receiver, port), 0);
  const std::string datagram(9000, 'd');
  ASSERT_EQ(SendDatagram(sender, datagram.data(), datagram.size(), loopback, port), 9000);
  ASSERT_EQ(SendDatagram(sender, "next", 4, loopback, port), 4);
  std::string buffer(8192, '\0');
  std::uint32_t from = 0;
  std::uint16_t fromPort = 0;
  ASSERT_TRUE(WaitSocket(receiver, false, nullptr, 10000).Readable);
  EXPECT_GT(ReceiveDatagram(receiver, buffer.data(), buffer.size(), from, fromPort), 8192);
  EXPECT_EQ(buffer, std::string(8192, 'd'));
  // The rest of the long one is gone; the next datagram comes whole.
  ASSERT_TRUE(WaitSocket(receiver, false, nullptr, 10000).Readable);
  EXPECT_EQ(ReceiveDatagram(receiver, buffer.data(), buffer.size(), from, fromPort), 4);
  EXPECT_EQ(buffer.substr(0, 4), "next");
  CloseSocket(sender);
  CloseSocket(receiver);
}

// Several datagrams with one call: in arrival order, each in its own slot with its length and
// source; one too long for its slot shows a larger length and leaves its neighbours whole.
TEST(ReceiveDatagramsTest, ABatchKeepsOrderLengthsAndSources) {
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket receiver = OpenUdpSocket();
  const TSocket first = OpenUdpSocket();
  const TSocket second = OpenUdpSocket();
  ASSERT_EQ(BindSocket(receiver, loopback, 0), 0);
  ASSERT_EQ(BindSocket(first, loopback, 0), 0);
  ASSERT_EQ(BindSocket(second, loopback, 0), 0);
  SetSocketNonBlocking(receiver);
  std::uint16_t port = 0;
  std::uint16_t firstPort = 0;
  std::uint16_t secondPort = 0;
  ASSERT_EQ(GetLocalPort(receiver, port), 0);
  ASSERT_EQ(GetLocalPort(first, firstPort), 0);
  ASSERT_EQ(GetLocalPort(second, secondPort), 0);

  constexpr std::size_t capacity = 16;
  constexpr int slots = 4;
  std::string buffers(capacity * slots, '\0');
  TReceivedDatagram datagrams[slots];
  // Nothing waiting: no datagram, and the would-block code.
  EXPECT_EQ(ReceiveDatagrams(receiver, buffers.data(), capacity, datagrams, slots), -1);
  EXPECT_TRUE(IsWouldBlockError(LastSocketError()));

  struct Sent {
    TSocket from;
    std::uint16_t fromPort;
    std::string bytes;
  };
  const Sent sent[] = {{first, firstPort, "one"},
                       {second, secondPort, "two, longer"},
                       {first, firstPort, std::string(capacity + 5, 'x')},
                       {second, secondPort, std::string(capacity, 'f')},
                       {first, firstPort, "fifth"}};
  for (const Sent& datagram : sent) {
    ASSERT_EQ(
        SendDatagram(datagram.from, datagram.bytes.data(), datagram.bytes.size(), loopback, port),
        static_cast<long>(datagram.bytes.size()));
  }
  std::vector<std::pair<long, std::uint16_t>> got;
  std::vector<std::string> texts;
  for (int attempt = 0; attempt < 200 && got.size() < std::size(sent); ++attempt) {
    const int taken = ReceiveDatagrams(receiver, buffers.data(), capacity, datagrams, slots);
    if (taken < 0) {
      ASSERT_TRUE(IsWouldBlockError(LastSocketError()));
      WaitSocket(receiver, false, nullptr, 50);
      continue;
    }
    ASSERT_LE(taken, slots);
    for (int i = 0; i < taken; ++i) {
      EXPECT_EQ(datagrams[i].FromAddress, loopback);
      got.emplace_back(datagrams[i].Length, datagrams[i].FromPort);
      const std::size_t kept =
          std::min<std::size_t>(static_cast<std::size_t>(datagrams[i].Length), capacity);
      texts.push_back(buffers.substr(static_cast<std::size_t>(i) * capacity, kept));
    }
  }
  ASSERT_EQ(got.size(), std::size(sent));
  for (std::size_t i = 0; i < std::size(sent); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].second, sent[i].fromPort);
    if (sent[i].bytes.size() > capacity) {
      EXPECT_GT(got[i].first, static_cast<long>(capacity));
      EXPECT_EQ(texts[i], sent[i].bytes.substr(0, capacity));
    } else {
      EXPECT_EQ(got[i].first, static_cast<long>(sent[i].bytes.size()));
      EXPECT_EQ(texts[i], sent[i].bytes);
    }
  }
  for (const TSocket socket : {receiver, first, second}) {
    CloseSocket(socket);
  }
}

// A list longer than one batch call goes out whole, in its order, each datagram with its own
// length; the receiver sees them as separate datagrams from the sender's port.
TEST(SendDatagramsTest, AListArrivesWholeAndInOrder) {
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket receiver = OpenUdpSocket();
  const TSocket sender = OpenUdpSocket();
  ASSERT_EQ(BindSocket(receiver, loopback, 0), 0);
  ASSERT_EQ(BindSocket(sender, loopback, 0), 0);
  SetReceiveBufferSize(receiver, 1 << 20);
  std::uint16_t port = 0;
  std::uint16_t senderPort = 0;
  ASSERT_EQ(GetLocalPort(receiver, port), 0);
  ASSERT_EQ(GetLocalPort(sender, senderPort), 0);

  // 150 datagrams: more than two batches of 64, lengths 1 to 150, each byte telling its index.
  constexpr int count = 150;
  std::vector<std::string> texts;
  std::vector<TDatagramToSend> list;
  for (int i = 0; i < count; ++i) {
    texts.emplace_back(static_cast<std::size_t>(i + 1), static_cast<char>('A' + i % 26));
  }
  for (const std::string& text : texts) {
    list.push_back(TDatagramToSend{text.data(), text.size()});
  }
  EXPECT_EQ(SendDatagrams(sender, list.data(), 0, loopback, port), 0);
  ASSERT_EQ(SendDatagrams(sender, list.data(), count, loopback, port), count);

  std::string buffer(512, '\0');
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(WaitSocket(receiver, false, nullptr, 10000).Readable);
    std::uint32_t from = 0;
    std::uint16_t fromPort = 0;
    const long length = ReceiveDatagram(receiver, buffer.data(), buffer.size(), from, fromPort);
    ASSERT_EQ(length, i + 1);
    EXPECT_EQ(buffer.substr(0, static_cast<std::size_t>(length)),
              texts[static_cast<std::size_t>(i)]);
    EXPECT_EQ(from, loopback);
    EXPECT_EQ(fromPort, senderPort);
  }
  CloseSocket(sender);
  CloseSocket(receiver);
}

// A list that cannot go out at all reports -1 with the system's reason, not a count.
TEST(SendDatagramsTest, ADatagramTooLongForUdpSendsNothingAndSaysWhy) {
  std::uint32_t loopback = 0;
  ParseIPv4Address("127.0.0.1", loopback);
  const TSocket receiver = OpenUdpSocket();
  const TSocket sender = OpenUdpSocket();
  ASSERT_EQ(BindSocket(receiver, loopback, 0), 0);
  std::uint16_t port = 0;
  ASSERT_EQ(GetLocalPort(receiver, port), 0);
  const std::string tooLong(70000, 'x');
  const TDatagramToSend list[] = {{tooLong.data(), tooLong.size()}, {"next", 4}};
  EXPECT_EQ(SendDatagrams(sender, list, 2, loopback, port), -1);
  EXPECT_EQ(LastSocketError(), SocketErrorMessageSize);
  CloseSocket(sender);
  CloseSocket(receiver);
}

}  // namespace

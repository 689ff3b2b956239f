#pragma once

// Helpers for the UDP tests: a loopback datagram peer and a recorder of server events.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "net/uIPServerHeader.h"
#include "platform/uSocket.h"
#include "tests/net/THandlerEventRecorder.h"

namespace udptest {

inline std::uint32_t Loopback() {
  std::uint32_t address = 0;
  ParseIPv4Address("127.0.0.1", address);
  return address;
}

// The code with which a bind of 127.0.0.1 and this (taken) port fails.
inline std::int32_t BindErrorOf(std::uint16_t port) {
  const TSocket probe = OpenUdpSocket();
  EXPECT_NE(BindSocket(probe, Loopback(), port), 0);
  const std::int32_t code = LastSocketError();
  CloseSocket(probe);
  return code;
}

// A datagram socket on 127.0.0.1 and a port of its own.
class TPeer {
 public:
  TPeer() : FSocket(OpenUdpSocket()) {
    EXPECT_EQ(BindSocket(FSocket, Loopback(), 0), 0);
    EXPECT_EQ(GetLocalPort(FSocket, Port), 0);
  }
  ~TPeer() { CloseSocket(FSocket); }
  TPeer(const TPeer&) = delete;
  TPeer& operator=(const TPeer&) = delete;

  void SendTo(std::uint16_t port, const std::string& data) const {
    EXPECT_EQ(SendDatagram(FSocket, data.data(), data.size(), Loopback(), port),
              static_cast<long>(data.size()));
  }

  // The next datagram within timeoutMs; false when none came.
  bool Receive(std::string& data, int timeoutMs = 10000) const {
    std::vector<char> buffer(65536);
    std::uint32_t from = 0;
    std::uint16_t fromPort = 0;
    if (!WaitSocket(FSocket, false, nullptr, timeoutMs).Readable) {
      return false;
    }
    const long length = ReceiveDatagram(FSocket, buffer.data(), buffer.size(), from, fromPort);
    data.assign(buffer.data(), static_cast<std::size_t>(length < 0 ? 0 : length));
    return length >= 0;
  }

  std::uint16_t Port = 0;

 private:
  TSocket FSocket;
};

// One event as its handler saw it: 'C'onnect, 'R'eceive, 'S'end or 'D'isconnect, the peer
// fields read during the call and a copy of the packet.
struct TRecordedEvent {
  char Kind = 0;
  std::uint16_t Index = 0;
  std::string Address;
  std::uint16_t Port = 0;
  std::string Data;

  static TRecordedEvent From(tTCPEventKind kind, TIPConnection& peer, const void* packet,
                             std::uint32_t size) {
    static constexpr char Letters[] = {'C', 'D', 'R', 'S'};  // by tTCPEventKind
    TRecordedEvent event{Letters[kind], peer.ClientIndex, peer.RemoteAddress, peer.RemotePort, {}};
    if (packet != nullptr) {
      event.Data.assign(static_cast<const char*>(packet), size);
    }
    return event;
  }

  bool operator==(const TRecordedEvent&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const TRecordedEvent& event) {
    return out << event.Kind << ' ' << event.Index << ' ' << event.Address << ':' << event.Port
               << " [" << event.Data.size() << " bytes]";
  }
};

class TEventLog : public THandlerEventRecorder<TRecordedEvent> {
 public:
  // True once at least count events have come; waits up to 10 s.
  bool WaitForCount(std::size_t count) {
    return WaitUntil(
        [&](const std::vector<TRecordedEvent>& events) { return events.size() >= count; });
  }
};

}  // namespace udptest

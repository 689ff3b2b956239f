#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/TReceiveManager.h"
#include "net/uIPServerHeader.h"
#include "net/uTCPServer.h"
#include "tests/net/LoopbackClient.h"
#include "tests/net/THandlerEventRecorder.h"

// One event as a TCP listener's handler saw it.
struct TCPEvent {
  tTCPEventKind Kind;
  std::uint16_t Client;
  std::string Data;
  bool NullPacket = false;
  const TIPConnection* Connection = nullptr;
  std::string RemoteAddress;
  std::uint16_t RemotePort = 0;

  static TCPEvent From(tTCPEventKind kind, TIPConnection& connection, const void* packet,
                       std::uint32_t size) {
    TCPEvent event{kind,
                   connection.ClientIndex,
                   {},
                   packet == nullptr,
                   &connection,
                   connection.RemoteAddress,
                   connection.RemotePort};
    if (packet != nullptr) {
      event.Data.assign(static_cast<const char*>(packet), size);
    }
    return event;
  }
};

// Records the events a TCP listener delivers.
class TCPEventRecorder : public THandlerEventRecorder<TCPEvent> {
 public:
  using Event = TCPEvent;

  bool WaitForCount(tTCPEventKind kind, std::size_t count, int timeoutMs = 10000) {
    return WaitUntil([&](const std::vector<Event>& events) { return Count(events, kind) >= count; },
                     timeoutMs);
  }

  std::vector<Event> EventsOf(std::uint16_t client) const {
    std::vector<Event> selected;
    for (const Event& event : Events()) {
      if (event.Client == client) {
        selected.push_back(event);
      }
    }
    return selected;
  }
  static std::size_t Count(const std::vector<Event>& events, tTCPEventKind kind) {
    std::size_t count = 0;
    for (const Event& event : events) {
      count += event.Kind == kind ? 1 : 0;
    }
    return count;
  }
};

// The port a listener on port 0 got, once it listens; 0 when it did not within timeoutMs.
inline std::uint16_t WaitForBoundPort(const TCustomTCPServer& server, int timeoutMs = 10000) {
  WaitForCondition([&] { return server.BoundPort() != 0; }, timeoutMs);
  return server.BoundPort();
}

// A TPKT frame around the payload.
inline std::string TPKTFrame(const std::string& payload) {
  const std::size_t length = payload.size() + 4;
  return std::string{'\x03', '\x00', static_cast<char>(length >> 8),
                     static_cast<char>(length & 0xFF)} +
         payload;
}

#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "net/TReceiveManager.h"
#include "net/uIPServerHeader.h"
#include "net/uTCPServer.h"
#include "tests/net/LoopbackClient.h"

// Records the events a TCP listener delivers, for tests. The handlers run on the delivery
// thread; the test thread waits for and reads the records.
class TCPEventRecorder {
 public:
  struct Event {
    tTCPEventKind Kind;
    std::uint16_t Client;
    std::string Data;
    bool NullPacket = false;
    const TIPConnection* Connection = nullptr;
    std::string RemoteAddress;
    std::uint16_t RemotePort = 0;
  };

  tNotifyTCPEvent Connect() {
    return [this](TIPConnection& client) { Add(evConnect, client, nullptr, 0); };
  }
  tNotifyTCPEvent Disconnect() {
    return [this](TIPConnection& client) { Add(evDisconnect, client, nullptr, 0); };
  }
  tNotifyDataTCPEvent Receive() {
    return [this](TIPConnection& sender, const void* packet, std::uint32_t size) {
      Add(evReceive, sender, packet, size);
    };
  }
  tNotifyDataTCPEvent Sent() {
    return [this](TIPConnection& sender, const void* packet, std::uint32_t size) {
      Add(evSend, sender, packet, size);
    };
  }

  // Waits up to timeoutMs (generous by default) until the records satisfy the condition.
  bool WaitUntil(const std::function<bool(const std::vector<Event>&)>& condition,
                 int timeoutMs = 10000) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return condition(FEvents); });
  }
  bool WaitForCount(tTCPEventKind kind, std::size_t count, int timeoutMs = 10000) {
    return WaitUntil([&](const std::vector<Event>& events) { return Count(events, kind) >= count; },
                     timeoutMs);
  }

  std::vector<Event> Events() const {
    std::lock_guard lock(FLock);
    return FEvents;
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

 private:
  void Add(tTCPEventKind kind, TIPConnection& connection, const void* packet, std::uint32_t size) {
    Event event{kind,
                connection.ClientIndex,
                {},
                packet == nullptr,
                &connection,
                connection.RemoteAddress,
                connection.RemotePort};
    if (packet != nullptr) {
      event.Data.assign(static_cast<const char*>(packet), size);
    }
    {
      std::lock_guard lock(FLock);
      FEvents.push_back(std::move(event));
    }
    FChanged.notify_all();
  }

  mutable std::mutex FLock;  // guards FEvents
  std::condition_variable FChanged;
  std::vector<Event> FEvents;
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

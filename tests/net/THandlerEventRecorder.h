#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "net/TReceiveManager.h"
#include "net/uIPServerHeader.h"

// Records the events a server hands to its handlers, for tests. The handlers run on the
// delivery thread; the test thread waits for and reads the records. TEvent says what one record
// keeps: TEvent::From(kind, connection, packet, size) builds it while the handler runs, so the
// connection's fields are read at that moment.
template <class TEvent>
class THandlerEventRecorder {
 public:
  // The handlers to give the server. Any thread.
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
  tNotifyDataTCPEvent Send() {
    return [this](TIPConnection& sender, const void* packet, std::uint32_t size) {
      Add(evSend, sender, packet, size);
    };
  }

  // Waits up to timeoutMs (generous by default) until the records satisfy the condition.
  // Test thread.
  bool WaitUntil(const std::function<bool(const std::vector<TEvent>&)>& condition,
                 int timeoutMs = 10000) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return condition(FEvents); });
  }

  // A copy of the records so far, in arrival order. Any thread.
  std::vector<TEvent> Events() const {
    std::lock_guard lock(FLock);
    return FEvents;
  }

 private:
  void Add(tTCPEventKind kind, TIPConnection& connection, const void* packet, std::uint32_t size) {
    TEvent event = TEvent::From(kind, connection, packet, size);
    {
      std::lock_guard lock(FLock);
      FEvents.push_back(std::move(event));
    }
    FChanged.notify_all();
  }

  mutable std::mutex FLock;  // guards FEvents
  std::condition_variable FChanged;
  std::vector<TEvent> FEvents;
};

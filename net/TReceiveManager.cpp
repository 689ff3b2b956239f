#include "net/TReceiveManager.h"

#include <algorithm>
#include <chrono>
#include <iterator>

#include "net/TCustomTCPConnection.h"
#include "net/uTCPServer.h"

namespace {

constexpr std::uint32_t DeliveryWaitMs = 50;

}  // namespace

bool TReceiveManagerQueue::FullLocked() const {
  return !FItems.empty() &&
         (FItems.size() >= static_cast<std::size_t>(MaxCount) || FBytes >= MaxBytes);
}

bool TReceiveManagerQueue::BelowRoomMarkLocked() const {
  return FItems.size() <= static_cast<std::size_t>(RoomMark) && FBytes <= RoomBytes;
}

bool TReceiveManagerQueue::Push(tTCPEventItem& item) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(Lock);
    if (FullLocked()) {
      return false;
    }
    wasEmpty = FItems.empty();
    FBytes += Cost(item);
    FItems.push_back(std::move(item));
  }
  // A consumer waits only on an empty queue, and re-checks under the lock.
  if (wasEmpty) {
    FItemCame.notify_one();
  }
  return true;
}

bool TReceiveManagerQueue::TakeAll(std::deque<tTCPEventItem>& items, std::uint32_t timeoutMs) {
  bool roomMade = false;
  {
    std::unique_lock lock(Lock);
    if (!FItemCame.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !FItems.empty(); })) {
      return false;
    }
    roomMade = !BelowRoomMarkLocked();
    if (items.empty()) {
      items.swap(FItems);
    } else {
      std::move(FItems.begin(), FItems.end(), std::back_inserter(items));
      FItems.clear();
    }
    FBytes = 0;
  }
  if (roomMade) {
    FRoom.notify_all();
  }
  return true;
}

std::optional<tTCPEventItem> TReceiveManagerQueue::Pop() {
  std::optional<tTCPEventItem> item;
  bool drained = false;
  {
    std::lock_guard lock(Lock);
    if (FItems.empty()) {
      return item;
    }
    const bool wasAbove = !BelowRoomMarkLocked();
    FBytes -= Cost(FItems.front());
    item.emplace(std::move(FItems.front()));
    FItems.pop_front();
    drained = wasAbove && BelowRoomMarkLocked();
  }
  if (drained) {
    FRoom.notify_all();
  }
  return item;
}

void TReceiveManagerQueue::ReleaseAll() {
  {
    std::lock_guard lock(Lock);
    FItems.clear();
    FBytes = 0;
  }
  FRoom.notify_all();
}

bool TReceiveManagerQueue::WaitForRoom(std::uint32_t timeoutMs) {
  std::unique_lock lock(Lock);
  return FRoom.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [this] { return !FullLocked(); });
}

std::int32_t TReceiveManagerQueue::Count() const {
  std::lock_guard lock(Lock);
  return static_cast<std::int32_t>(FItems.size());
}

std::size_t TReceiveManagerQueue::QueuedBytes() const {
  std::lock_guard lock(Lock);
  return FBytes;
}

TReceiveManager::TReceiveManager(TCustomTCPServer& server) : FServer(server) {
  Start();
}

TReceiveManager::~TReceiveManager() {
  TerminateAndWait();
}

void TReceiveManager::Execute() {
  // The stop request is looked at only once the queue has stayed empty for a whole wait, so
  // everything queued before the stop is delivered.
  std::deque<tTCPEventItem> items;
  while (!Terminated()) {
    while (FQueue.TakeAll(items, DeliveryWaitMs)) {
      FItemsInHand.store(static_cast<std::int32_t>(items.size()));
      for (tTCPEventItem& item : items) {
        FItemsInHand.fetch_sub(1, std::memory_order_relaxed);
        Deliver(item);
      }
      items.clear();
    }
  }
}

void TReceiveManager::Deliver(tTCPEventItem& item) {
  TIPConnection& connection = *item.Connection;
  const void* packet = item.Data.empty() ? nullptr : item.Data.data();
  const auto size = static_cast<std::uint32_t>(item.Data.size());
  // A failing handler must not end delivery: every later event of every client would be lost.
  try {
    switch (item.Kind) {
      case evConnect:
        if (FServer.OnConnect) {
          FServer.OnConnect(connection);
        }
        break;
      case evDisconnect:
        if (FServer.OnDisconnect) {
          FServer.OnDisconnect(connection);
        }
        break;
      case evReceive:
        if (FServer.OnReceive) {
          FServer.OnReceive(connection, packet, size);
        }
        break;
      case evSend:
        if (FServer.OnSend) {
          FServer.OnSend(connection, packet, size);
        }
        break;
    }
  } catch (...) {
    FHandlerFailures.fetch_add(1);
  }
  // The disconnect event is the connection's last: its entry goes and its number is free again,
  // whether or not a disconnect handler is set.
  if (item.Kind == evDisconnect) {
    FServer.RemoveConnection(connection.ClientIndex);
  }
}

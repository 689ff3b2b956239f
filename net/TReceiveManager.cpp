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

void TReceiveManagerQueue::CallNextLocked() {
  if (FWaiters.empty()) {
    return;
  }
  TRoomWaiter* next = FWaiters.front();
  FWaiters.pop_front();
  next->Called = true;
  ++FRoomWakeups;
  next->Woken.notify_one();
}

void TReceiveManagerQueue::CallNextIfRoomLocked() {
  if (!FullLocked()) {
    CallNextLocked();
  }
}

bool TReceiveManagerQueue::WaitInLineLocked(std::unique_lock<std::mutex>& lock,
                                            std::chrono::steady_clock::time_point deadline) {
  TRoomWaiter waiter;
  FWaiters.push_back(&waiter);
  if (!waiter.Woken.wait_until(lock, deadline, [&waiter] { return waiter.Called; })) {
    // Not called: it leaves the line itself, so no wake-up goes to a frame that is gone.
    FWaiters.erase(std::find(FWaiters.begin(), FWaiters.end(), &waiter));
    return false;
  }
  return true;
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
    // Room left: a producer held in line may go on too.
    CallNextIfRoomLocked();
  }
  // A consumer waits only on an empty queue, and re-checks under the lock.
  if (wasEmpty) {
    FItemCame.notify_one();
  }
  return true;
}

std::size_t TReceiveManagerQueue::PushWhenRoom(std::span<tTCPEventItem> items,
                                               std::uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t pushed = 0;
  bool wasEmpty = false;
  {
    std::unique_lock lock(Lock);
    while (true) {
      wasEmpty = wasEmpty || FItems.empty();
      for (; pushed < items.size() && !FullLocked(); ++pushed) {
        FBytes += Cost(items[pushed]);
        FItems.push_back(std::move(items[pushed]));
      }
      if (pushed == items.size()) {
        break;
      }
      // The consumer must not sleep on what this batch queued while this thread waits.
      if (wasEmpty) {
        FItemCame.notify_one();
        wasEmpty = false;
      }
      if (!WaitInLineLocked(lock, deadline)) {
        break;
      }
      // Called: room was made, or WakeWaiters asks to look at a stop request. One more round
      // either way; a stop wake with the queue still full returns what is in.
      if (FullLocked()) {
        break;
      }
    }
    CallNextIfRoomLocked();
  }
  if (wasEmpty) {
    FItemCame.notify_one();
  }
  return pushed;
}

bool TReceiveManagerQueue::TakeAll(std::deque<tTCPEventItem>& items, std::uint32_t timeoutMs) {
  std::unique_lock lock(Lock);
  if (!FItemCame.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return !FItems.empty(); })) {
    return false;
  }
  if (items.empty()) {
    items.swap(FItems);
  } else {
    std::move(FItems.begin(), FItems.end(), std::back_inserter(items));
    FItems.clear();
  }
  FBytes = 0;
  // The queue is empty: the first producer in line goes on, and wakes the next if room is left.
  CallNextLocked();
  return true;
}

std::optional<tTCPEventItem> TReceiveManagerQueue::Pop() {
  std::optional<tTCPEventItem> item;
  std::lock_guard lock(Lock);
  if (FItems.empty()) {
    return item;
  }
  FBytes -= Cost(FItems.front());
  item.emplace(std::move(FItems.front()));
  FItems.pop_front();
  if (BelowRoomMarkLocked()) {
    CallNextLocked();
  }
  return item;
}

void TReceiveManagerQueue::ReleaseAll() {
  std::deque<tTCPEventItem> released;
  std::lock_guard lock(Lock);
  released.swap(FItems);
  FBytes = 0;
  while (!FWaiters.empty()) {
    CallNextLocked();
  }
}

bool TReceiveManagerQueue::WaitForRoom(std::uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock lock(Lock);
  while (FullLocked() && WaitInLineLocked(lock, deadline)) {
    // Called by WakeWaiters with the queue still full: the caller looks at its stop request.
    if (FullLocked()) {
      return false;
    }
  }
  const bool room = !FullLocked();
  CallNextIfRoomLocked();
  return room;
}

void TReceiveManagerQueue::WakeWaiters() {
  std::lock_guard lock(Lock);
  while (!FWaiters.empty()) {
    CallNextLocked();
  }
}

std::int32_t TReceiveManagerQueue::Count() const {
  std::lock_guard lock(Lock);
  return static_cast<std::int32_t>(FItems.size());
}

std::size_t TReceiveManagerQueue::QueuedBytes() const {
  std::lock_guard lock(Lock);
  return FBytes;
}

std::size_t TReceiveManagerQueue::Waiting() const {
  std::lock_guard lock(Lock);
  return FWaiters.size();
}

std::uint64_t TReceiveManagerQueue::RoomWakeups() const {
  std::lock_guard lock(Lock);
  return FRoomWakeups;
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

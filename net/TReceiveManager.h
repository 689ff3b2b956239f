#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/TThread.h"

class TCustomTCPConnection;
class TCustomTCPServer;

enum tTCPEventKind : std::uint8_t { evConnect = 0, evDisconnect = 1, evReceive = 2, evSend = 3 };

// One queued TCP event. The item owns a copy of the bytes, so the raising thread may reuse its
// buffers as soon as the item is built.
struct tTCPEventItem {
  tTCPEventKind Kind = evConnect;
  TCustomTCPConnection* Connection = nullptr;  // stays alive until the item is delivered
  std::string Data;                            // empty for connect, disconnect, empty writes
};

// The bounded first-in-first-out queue between the connection threads (producers) and the
// delivery thread (the only consumer). The consumer takes everything queued at once, and a
// producer wakes it only when its push finds the queue empty, so a busy queue costs one lock
// per batch of items and no wake-up. Every operation: any thread.
//
// Producers held by a full queue wait in line, each on a wake-up of its own: when room is made,
// only the first in line is woken; a producer that leaves with room still left wakes the next.
// So however many connections wait, a drained queue wakes those that can go on, one by one, and
// not every waiting thread at once.
class TReceiveManagerQueue {
 public:
  // Enough for a fast sender to keep the delivery thread busy; few enough to keep the memory of
  // a backlog small (the connection threads then wait and TCP flow control holds the senders).
  // The queue is full at MaxCount items or at MaxBytes (every item's bytes and the item itself),
  // whichever comes first; an empty queue takes any item, however large.
  static constexpr std::int32_t MaxCount = 1024;
  static constexpr std::size_t MaxBytes = 256 * 1024;
  // Pop wakes the first held producer once it has drained the queue to this many items and
  // bytes, so producers refill it in bulk instead of one waking for every single free slot.
  static constexpr std::int32_t RoomMark = MaxCount * 3 / 4;
  static constexpr std::size_t RoomBytes = MaxBytes * 3 / 4;

  TReceiveManagerQueue() = default;
  TReceiveManagerQueue(const TReceiveManagerQueue&) = delete;
  TReceiveManagerQueue& operator=(const TReceiveManagerQueue&) = delete;
  ~TReceiveManagerQueue() { ReleaseAll(); }

  // Appends the item (moved from) and counts it; false, with the item untouched, when the queue
  // is full. Callers that must not lose the event wait with WaitForRoom and retry.
  bool Push(tTCPEventItem& item);
  // Appends items from the front of items (moved from), in their order, as long as the queue
  // has room, under one lock acquisition. When it is full before all are in, waits in line for
  // room, at most timeoutMs in all, and goes on. Returns how many were appended; fewer than
  // items.size() when the time ran out or WakeWaiters was called, and the caller, after looking
  // at its own reasons to give up, calls again with the rest.
  std::size_t PushWhenRoom(std::span<tTCPEventItem> items, std::uint32_t timeoutMs);
  // The oldest item, or none.
  std::optional<tTCPEventItem> Pop();
  // Waits at most timeoutMs for an item, then moves every queued item, oldest first, to the end
  // of items. False when none came.
  bool TakeAll(std::deque<tTCPEventItem>& items, std::uint32_t timeoutMs);
  // Drops every item.
  void ReleaseAll();

  // Waits in line at most timeoutMs until the queue is not full. True when it is not.
  bool WaitForRoom(std::uint32_t timeoutMs);
  // Ends every present wait for room at once (PushWhenRoom and WaitForRoom return), so the
  // waiting threads look at a stop request.
  void WakeWaiters();
  std::int32_t Count() const;
  // The bytes queued: every item's data plus the item itself.
  std::size_t QueuedBytes() const;
  // Producers waiting in line for room.
  std::size_t Waiting() const;
  // How many times a held producer was woken, in all (a figure for tests and benchmarks).
  std::uint64_t RoomWakeups() const;

  // What an item costs the queue.
  static std::size_t Cost(const tTCPEventItem& item) { return sizeof(item) + item.Data.size(); }

 private:
  // One producer waiting in line; it lives on the waiting thread's stack.
  struct TRoomWaiter {
    std::condition_variable Woken;  // waited on with Lock
    bool Called = false;            // set under Lock when it is taken out of the line
  };

  bool FullLocked() const;
  bool BelowRoomMarkLocked() const;
  // Waits in line until called or until the deadline; true when called.
  bool WaitInLineLocked(std::unique_lock<std::mutex>& lock,
                        std::chrono::steady_clock::time_point deadline);
  // Takes the first waiter out of the line and wakes it (under Lock: once called, the waiter may
  // leave and its stack frame go).
  void CallNextLocked();
  // The same, when the queue has room.
  void CallNextIfRoomLocked();

  mutable std::mutex Lock;            // guards FItems, FBytes, FWaiters and FRoomWakeups
  std::condition_variable FItemCame;  // waited on with Lock by the consumer of an empty queue
  std::deque<tTCPEventItem> FItems;
  std::size_t FBytes = 0;             // the cost of FItems
  std::deque<TRoomWaiter*> FWaiters;  // producers held by a full queue, first come first
  std::uint64_t FRoomWakeups = 0;
};

// The delivery thread of one listener: hands every event of the listener's connections to the
// listener's handlers, one at a time and in queue order. After a disconnect event it removes the
// connection from the listener (RemoveConnection), which releases it. A handler that throws is
// counted and delivery goes on. Asked to stop, it first delivers what is queued, then ends once
// the queue has stayed empty for 50 ms.
//
// Owned by TCustomTCPServer, which stops every connection thread before it stops this one, so
// an item never refers to a released connection.
class TReceiveManager final : public TThread {
 public:
  // Starts the thread at once. The listener's handlers must be set already.
  explicit TReceiveManager(TCustomTCPServer& server);
  ~TReceiveManager() override;

  // Any thread.
  TReceiveManagerQueue& Queue() { return FQueue; }
  // Items the delivery thread has taken from the queue and not yet begun to deliver. Any thread.
  std::int32_t ItemsInHand() const { return FItemsInHand.load(); }
  // Handler calls that ended in an exception. Any thread.
  std::uint64_t HandlerFailures() const { return FHandlerFailures.load(); }

 protected:
  void Execute() override;

 private:
  void Deliver(tTCPEventItem& item);

  TCustomTCPServer& FServer;
  TReceiveManagerQueue FQueue;
  std::atomic<std::uint64_t> FHandlerFailures{0};
  std::atomic<std::int32_t> FItemsInHand{0};
};

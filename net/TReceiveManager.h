#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
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
// per item and no wake-up. Every operation: any thread.
class TReceiveManagerQueue {
 public:
  // Enough for a fast sender to keep the delivery thread busy; few enough to keep the memory of
  // a backlog small (the connection threads then wait and TCP flow control holds the senders).
  // The queue is full at MaxCount items or at MaxBytes (every item's bytes and the item itself),
  // whichever comes first; an empty queue takes any item, however large.
  static constexpr std::int32_t MaxCount = 1024;
  static constexpr std::size_t MaxBytes = 256 * 1024;
  // Producers held by a full queue are woken once it has drained to this many items and bytes,
  // so they refill it in bulk instead of all waking for every single free slot.
  static constexpr std::int32_t RoomMark = MaxCount * 3 / 4;
  static constexpr std::size_t RoomBytes = MaxBytes * 3 / 4;

  TReceiveManagerQueue() = default;
  TReceiveManagerQueue(const TReceiveManagerQueue&) = delete;
  TReceiveManagerQueue& operator=(const TReceiveManagerQueue&) = delete;
  ~TReceiveManagerQueue() { ReleaseAll(); }

  // Appends the item (moved from) and counts it; false, with the item untouched, when the queue
  // is full. Callers that must not lose the event wait with WaitForRoom and retry.
  bool Push(tTCPEventItem& item);
  // The oldest item, or none.
  std::optional<tTCPEventItem> Pop();
  // Waits at most timeoutMs for an item, then moves every queued item, oldest first, to the end
  // of items. False when none came.
  bool TakeAll(std::deque<tTCPEventItem>& items, std::uint32_t timeoutMs);
  // Drops every item.
  void ReleaseAll();

  // Waits at most timeoutMs until the queue is not full. True when it is not; held producers
  // are woken once it has drained to RoomMark and RoomBytes.
  bool WaitForRoom(std::uint32_t timeoutMs);
  std::int32_t Count() const;
  // The bytes queued: every item's data plus the item itself.
  std::size_t QueuedBytes() const;

  // What an item costs the queue.
  static std::size_t Cost(const tTCPEventItem& item) { return sizeof(item) + item.Data.size(); }

 private:
  bool FullLocked() const;
  bool BelowRoomMarkLocked() const;

  mutable std::mutex Lock;            // guards FItems and FBytes
  std::condition_variable FRoom;      // waited on with Lock by producers held by a full queue
  std::condition_variable FItemCame;  // waited on with Lock by the consumer of an empty queue
  std::deque<tTCPEventItem> FItems;
  std::size_t FBytes = 0;  // the cost of FItems
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

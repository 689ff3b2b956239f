#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/TEvent.h"

// What a queued event stands for. The value 3 is not used.
enum tLogElementKind : std::int32_t {
  lkTcpData = 0,     // one packet from a TCP client
  lkConnect = 1,     // a TCP client connected
  lkDisconnect = 2,  // a TCP client disconnected
  lkSyslogData = 4,  // one UDP datagram
};

// One network event on its way from a network thread to the main loop. It owns a private copy of
// the received bytes, so the network thread may reuse its buffer at once.
struct tLogQueueElement {
  std::int32_t Kind = lkTcpData;
  std::string PeerAddress;  // dotted IPv4 text
  std::uint16_t PeerPort = 0;
  std::unique_ptr<std::uint8_t[]> Data;  // null when Size is 0
  std::uint32_t Size = 0;
  std::uint32_t Capacity = 0;  // bytes at Data, at least Size

  // An element of the given kind carrying a copy of size bytes at data (none when size is 0).
  static std::unique_ptr<tLogQueueElement> Make(std::int32_t kind, std::string peerAddress,
                                                std::uint16_t peerPort, const void* data,
                                                std::uint32_t size);
  // Makes this element what Make would have made, keeping its Data when that is large enough
  // (a new one is rounded up, so it fits more of the datagrams that come after).
  void Refill(std::int32_t kind, std::string_view peerAddress, std::uint16_t peerPort,
              const void* data, std::uint32_t size);
};

// The queue that carries network events to the main loop, oldest first.
//
// WakeEvent is a manual-reset event: a Push that finds the list empty sets it (just after letting
// the lock go), Wake sets it, and the pops reset it, under the lock, when they leave the list
// empty. So no element is left queued with the event clear past the end of its push, a busy
// queue costs no wake-up per element, and at worst a wake-up finds the list already emptied.
//
// The queue has high-water marks, a byte count and an element count: while either is exceeded,
// WaitForRoom (and PushWhenRoom) block the network threads before they push, so a sender faster
// than the main loop is slowed down instead of letting memory grow. The marks are small, since
// the main loop takes everything queued in one step (TakeAll): a fast sender is not slowed by
// them, and the memory of a backlog stays small. ReleaseWaiters ends every such wait for good,
// so a stopping server is never held up by it.
//
// Elements are recycled, so a steady stream of datagrams costs no heap allocation per datagram:
// the main loop hands the elements of a pass back with Recycle, and PushAllWhenRoom gives them
// to its caller for the next batches, under the lock it takes anyway. At most SpareLimit
// elements of at most SpareCapacity bytes are kept; others are freed.
class tLogQueue {
 public:
  static constexpr std::size_t DefaultHighWaterMark = 256u * 1024u;
  static constexpr std::size_t DefaultHighWaterCount = 1024;
  static constexpr std::size_t SpareLimit = 512;
  static constexpr std::uint32_t SpareCapacity = 1024;

  explicit tLogQueue(std::size_t highWaterMark = DefaultHighWaterMark,
                     std::size_t highWaterCount = DefaultHighWaterCount);
  // Releases the elements still queued, unprocessed (the stop sequence processes them first).
  ~tLogQueue();
  tLogQueue(const tLogQueue&) = delete;
  tLogQueue& operator=(const tLogQueue&) = delete;

  // Appends the element and sets WakeEvent. Any thread.
  void Push(std::unique_ptr<tLogQueueElement> element);
  // WaitForRoom and Push under one lock acquisition. Network threads.
  void PushWhenRoom(std::unique_ptr<tLogQueueElement> element);
  // WaitForRoom, then appends every element of elements in their order under one lock
  // acquisition (the batch may take the queue past a mark: the next wait holds its sender) and
  // leaves elements empty. WakeEvent is set only when the list was empty. Network threads.
  void PushAllWhenRoom(std::vector<std::unique_ptr<tLogQueueElement>>& elements);
  // The same, and then moves recycled elements to spares, until it holds SpareLimit.
  // Network threads.
  void PushAllWhenRoom(std::vector<std::unique_ptr<tLogQueueElement>>& elements,
                       std::vector<std::unique_ptr<tLogQueueElement>>& spares);
  // Keeps the elements of a processed pass for reuse (see the class comment) and leaves
  // elements empty; moved-from (null) ones are skipped. Main loop thread only.
  void Recycle(std::deque<std::unique_ptr<tLogQueueElement>>& elements);

  // Waits for WakeEvent without a time limit, then takes the oldest element into element (null
  // when the list was empty, then false). Resets WakeEvent when the list is left empty.
  // Main loop thread only.
  bool Pop(std::unique_ptr<tLogQueueElement>& element);

  // Waits for WakeEvent without a time limit, then moves every queued element, oldest first, to
  // the end of elements and resets WakeEvent. False when the list was empty. Main loop thread.
  bool TakeAll(std::deque<std::unique_ptr<tLogQueueElement>>& elements);

  // Puts elements back in front of what is queued, in their order (the rest of a pass that was
  // cut short, so the stop sequence still processes it). Main loop thread only.
  void Requeue(std::deque<std::unique_ptr<tLogQueueElement>>& elements);

  // Takes the oldest element into element without waiting; false (element null) when the list
  // is empty. Resets WakeEvent when the list is left empty. Main loop thread only.
  bool TryPop(std::unique_ptr<tLogQueueElement>& element);

  // Sets WakeEvent without adding anything, so a waiting Pop returns. Any thread.
  void Wake();

  // Releases every queued element. Any thread.
  void Clear();

  // Blocks, in short steps, while the queue is above a high-water mark and ReleaseWaiters
  // has not been called. True when there is room. Network threads.
  bool WaitForRoom();

  // Ends every present and future WaitForRoom at once. Any thread.
  void ReleaseWaiters();

  // The bytes held: every element's data plus the element itself. Any thread.
  std::size_t QueuedBytes() const;
  std::size_t Count() const;

 private:
  static std::size_t Cost(const tLogQueueElement& element);
  // Waits with lock held while the queue is above a mark; true when there is room.
  bool WaitForRoomLocked(std::unique_lock<std::mutex>& lock);
  bool AboveMarkLocked() const;
  // PushAllWhenRoom, giving recycled elements to spares when it is not null.
  void PushAll(std::vector<std::unique_ptr<tLogQueueElement>>& elements,
               std::vector<std::unique_ptr<tLogQueueElement>>* spares);
  // Appends under the lock held by the caller; true when the list was empty before.
  bool PushLocked(std::unique_ptr<tLogQueueElement> element);
  // Sets WakeEvent when a push found the list empty; called with the lock let go.
  void WakeAfterPush(bool wasEmpty);

  const std::size_t FHighWaterMark;
  const std::size_t FHighWaterCount;
  mutable std::mutex Lock;  // guards FElements, FSpares, FQueuedBytes and FWaitingForRoom
  std::deque<std::unique_ptr<tLogQueueElement>> FElements;
  std::vector<std::unique_ptr<tLogQueueElement>> FSpares;  // recycled; guarded by Lock
  std::size_t FQueuedBytes = 0;
  std::size_t FWaitingForRoom = 0;
  std::condition_variable FRoomMade;  // waited on with Lock; signalled when the bytes drop
  std::atomic<bool> FWaitersReleased{false};
  TEvent WakeEvent;
};

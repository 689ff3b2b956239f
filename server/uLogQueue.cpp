#include "server/uLogQueue.h"

#include <chrono>
#include <cstring>
#include <iterator>

namespace {

// A waiter looks at the release flag at least this often, whatever wakes it.
constexpr auto RoomWaitStep = std::chrono::milliseconds(20);

}  // namespace

std::unique_ptr<tLogQueueElement> tLogQueueElement::Make(std::int32_t kind, std::string peerAddress,
                                                         std::uint16_t peerPort, const void* data,
                                                         std::uint32_t size) {
  auto element = std::make_unique<tLogQueueElement>();
  element->Kind = kind;
  element->PeerAddress = std::move(peerAddress);
  element->PeerPort = peerPort;
  if (size > 0 && data != nullptr) {
    element->Data = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    std::memcpy(element->Data.get(), data, size);
    element->Size = size;
    element->Capacity = size;
  }
  return element;
}

void tLogQueueElement::Refill(std::int32_t kind, std::string_view peerAddress,
                              std::uint16_t peerPort, const void* data, std::uint32_t size) {
  Kind = kind;
  PeerAddress.assign(peerAddress);
  PeerPort = peerPort;
  if (size == 0 || data == nullptr) {
    Data.reset();
    Size = 0;
    Capacity = 0;
    return;
  }
  if (Data == nullptr || Capacity < size) {
    constexpr std::uint32_t Granule = 256;
    Capacity = (size + Granule - 1) / Granule * Granule;
    Data = std::make_unique_for_overwrite<std::uint8_t[]>(Capacity);
  }
  std::memcpy(Data.get(), data, size);
  Size = size;
}

tLogQueue::tLogQueue(std::size_t highWaterMark, std::size_t highWaterCount)
    : FHighWaterMark(highWaterMark), FHighWaterCount(highWaterCount) {}

tLogQueue::~tLogQueue() {
  ReleaseWaiters();
  Clear();
}

std::size_t tLogQueue::Cost(const tLogQueueElement& element) {
  return sizeof(tLogQueueElement) + element.Size;
}

bool tLogQueue::AboveMarkLocked() const {
  return FQueuedBytes > FHighWaterMark || FElements.size() > FHighWaterCount;
}

bool tLogQueue::PushLocked(std::unique_ptr<tLogQueueElement> element) {
  FQueuedBytes += Cost(*element);
  const bool wasEmpty = FElements.empty();
  FElements.push_back(std::move(element));
  return wasEmpty;
}

void tLogQueue::WakeAfterPush(bool wasEmpty) {
  // Set already otherwise: the pops reset it only when they leave the list empty. Set after the
  // lock is let go, so the woken main loop does not find it still held; a pass that took the
  // element in between only makes the wake-up find nothing.
  if (wasEmpty) {
    WakeEvent.Set();
  }
}

void tLogQueue::Push(std::unique_ptr<tLogQueueElement> element) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(Lock);
    wasEmpty = PushLocked(std::move(element));
  }
  WakeAfterPush(wasEmpty);
}

void tLogQueue::PushWhenRoom(std::unique_ptr<tLogQueueElement> element) {
  bool wasEmpty = false;
  {
    std::unique_lock lock(Lock);
    WaitForRoomLocked(lock);
    wasEmpty = PushLocked(std::move(element));
  }
  WakeAfterPush(wasEmpty);
}

void tLogQueue::PushAllWhenRoom(std::vector<std::unique_ptr<tLogQueueElement>>& elements) {
  PushAll(elements, nullptr);
}

void tLogQueue::PushAllWhenRoom(std::vector<std::unique_ptr<tLogQueueElement>>& elements,
                                std::vector<std::unique_ptr<tLogQueueElement>>& spares) {
  PushAll(elements, &spares);
}

void tLogQueue::PushAll(std::vector<std::unique_ptr<tLogQueueElement>>& elements,
                        std::vector<std::unique_ptr<tLogQueueElement>>* spares) {
  if (elements.empty()) {
    return;
  }
  bool wasEmpty = false;
  {
    std::unique_lock lock(Lock);
    WaitForRoomLocked(lock);
    wasEmpty = FElements.empty();
    for (std::unique_ptr<tLogQueueElement>& element : elements) {
      PushLocked(std::move(element));
    }
    while (spares != nullptr && !FSpares.empty() && spares->size() < SpareLimit) {
      spares->push_back(std::move(FSpares.back()));
      FSpares.pop_back();
    }
  }
  WakeAfterPush(wasEmpty);
  // The moved-from pointers go outside the lock; the vector keeps its capacity for the next batch.
  elements.clear();
}

void tLogQueue::Recycle(std::deque<std::unique_ptr<tLogQueueElement>>& elements) {
  {
    std::lock_guard lock(Lock);
    for (std::unique_ptr<tLogQueueElement>& element : elements) {
      if (FSpares.size() >= SpareLimit) {
        break;
      }
      if (element && element->Capacity <= SpareCapacity) {
        FSpares.push_back(std::move(element));
      }
    }
  }
  // What is not kept is freed outside the lock.
  elements.clear();
}

bool tLogQueue::TakeAll(std::deque<std::unique_ptr<tLogQueueElement>>& elements) {
  WakeEvent.WaitFor();
  bool roomMade = false;
  bool taken = false;
  {
    std::lock_guard lock(Lock);
    taken = !FElements.empty();
    roomMade = FWaitingForRoom > 0;
    if (elements.empty()) {
      elements.swap(FElements);
    } else {
      std::move(FElements.begin(), FElements.end(), std::back_inserter(elements));
      FElements.clear();
    }
    FQueuedBytes = 0;
    WakeEvent.Reset();
  }
  if (roomMade) {
    FRoomMade.notify_all();
  }
  return taken;
}

void tLogQueue::Requeue(std::deque<std::unique_ptr<tLogQueueElement>>& elements) {
  std::lock_guard lock(Lock);
  for (auto element = elements.rbegin(); element != elements.rend(); ++element) {
    if (*element) {
      FQueuedBytes += Cost(**element);
      FElements.push_front(std::move(*element));
    }
  }
  elements.clear();
  if (!FElements.empty()) {
    WakeEvent.Set();
  }
}

bool tLogQueue::Pop(std::unique_ptr<tLogQueueElement>& element) {
  WakeEvent.WaitFor();
  return TryPop(element);
}

bool tLogQueue::TryPop(std::unique_ptr<tLogQueueElement>& element) {
  element.reset();
  bool roomMade = false;
  {
    std::lock_guard lock(Lock);
    if (!FElements.empty()) {
      element = std::move(FElements.front());
      FElements.pop_front();
      FQueuedBytes -= Cost(*element);
      roomMade = FWaitingForRoom > 0 && !AboveMarkLocked();
    }
    if (FElements.empty()) {
      WakeEvent.Reset();
    }
  }
  if (roomMade) {
    FRoomMade.notify_all();
  }
  return element != nullptr;
}

void tLogQueue::Wake() {
  WakeEvent.Set();
}

void tLogQueue::Clear() {
  std::deque<std::unique_ptr<tLogQueueElement>> released;
  std::vector<std::unique_ptr<tLogQueueElement>> spares;
  {
    std::lock_guard lock(Lock);
    released.swap(FElements);
    spares.swap(FSpares);
    FQueuedBytes = 0;
  }
  // The elements go outside the lock; nothing of theirs needs it.
  released.clear();
  spares.clear();
  FRoomMade.notify_all();
}

bool tLogQueue::WaitForRoom() {
  std::unique_lock lock(Lock);
  return WaitForRoomLocked(lock);
}

bool tLogQueue::WaitForRoomLocked(std::unique_lock<std::mutex>& lock) {
  while (AboveMarkLocked() && !FWaitersReleased.load(std::memory_order_acquire)) {
    ++FWaitingForRoom;
    FRoomMade.wait_for(lock, RoomWaitStep);
    --FWaitingForRoom;
  }
  return !AboveMarkLocked();
}

void tLogQueue::ReleaseWaiters() {
  {
    // Under the lock, so a waiter between its test and its wait cannot miss the notification.
    std::lock_guard lock(Lock);
    FWaitersReleased.store(true, std::memory_order_release);
  }
  FRoomMade.notify_all();
}

std::size_t tLogQueue::QueuedBytes() const {
  std::lock_guard lock(Lock);
  return FQueuedBytes;
}

std::size_t tLogQueue::Count() const {
  std::lock_guard lock(Lock);
  return FElements.size();
}

#include "client/TRecordBuffer.h"

#include <algorithm>

#include "platform/uSocket.h"
#include "protocol/uRecordFrame.h"

TRecordBuffer::TRecordBuffer(std::size_t capacity, bool waitWhenFull, TSocketSignal& ready)
    : FCapacity(std::max(capacity, TPKTMaxFrameSize)), FWaitWhenFull(waitWhenFull), FReady(ready) {}

TRecordBuffer::TAddResult TRecordBuffer::Add(std::string_view application, std::string_view module,
                                             std::string_view prefix, std::string_view text,
                                             double clientTime) {
  const std::size_t size = RecordFrameSize(application, module, prefix, text);
  bool wasEmpty = false;
  {
    std::unique_lock lock(FLock);
    if (FWaitWhenFull) {
      FRoom.wait(lock, [&] { return FClosed || FHeld + size <= FCapacity; });
    }
    if (FClosed) {
      return TAddResult::Closed;
    }
    if (FHeld + size > FCapacity) {
      return TAddResult::Full;
    }
    wasEmpty = FPending.empty();
    // Framed under the lock, so the order of the buffer is the order of the calls.
    AppendRecordFrame(FPending, application, module, prefix, text, clientTime);
    FHeld += size;
  }
  // Only the first record of a batch wakes the writer: one system call per batch, not per
  // record. The writer resets the signal before it takes a batch, so none is missed.
  if (wasEmpty) {
    FReady.Set();
  }
  return TAddResult::Added;
}

bool TRecordBuffer::Take(std::string& into) {
  std::lock_guard lock(FLock);
  if (FPending.empty()) {
    return false;
  }
  into.swap(FPending);
  return true;
}

void TRecordBuffer::Release(std::size_t bytes) {
  {
    std::lock_guard lock(FLock);
    FHeld -= std::min(bytes, FHeld);
    if (FHeld == 0) {
      FEmpty.notify_all();
    }
  }
  FRoom.notify_all();
}

std::uint64_t TRecordBuffer::DiscardPending() {
  std::uint64_t records = 0;
  {
    std::lock_guard lock(FLock);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(FPending.data());
    for (std::size_t at = 0; at + TPKTHeaderSize <= FPending.size();
         at += TPKTDeclaredLength(bytes + at)) {
      ++records;
    }
    FHeld -= std::min(FPending.size(), FHeld);
    FPending.clear();
    if (FHeld == 0) {
      FEmpty.notify_all();
    }
  }
  FRoom.notify_all();
  return records;
}

bool TRecordBuffer::WaitUntilEmpty(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(FLock);
  return FEmpty.wait_until(lock, deadline, [&] { return FHeld == 0; });
}

void TRecordBuffer::Close() {
  {
    std::lock_guard lock(FLock);
    FClosed = true;
  }
  FRoom.notify_all();
}

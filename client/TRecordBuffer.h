#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

class TSocketSignal;

// The bounded buffer between the threads that send records and the one writer thread of a
// client: framed records in the order of the Add calls, counted in bytes from Add until the
// writer reports them fully written (or discarded). Any thread, except where noted.
class TRecordBuffer {
 public:
  enum class TAddResult { Added, Full, Closed };

  // capacity: bytes held at most (raised to one largest frame, so every record can get in).
  // waitWhenFull: Add waits for room instead of refusing the record. ready is set whenever
  // records arrive in an empty buffer.
  TRecordBuffer(std::size_t capacity, bool waitWhenFull, TSocketSignal& ready);
  TRecordBuffer(const TRecordBuffer&) = delete;
  TRecordBuffer& operator=(const TRecordBuffer&) = delete;

  // Frames one record behind the ones before it. The texts must fit one frame (checked by the
  // caller). Full: no room and the buffer does not wait. Closed: after Close.
  TAddResult Add(std::string_view application, std::string_view module, std::string_view prefix,
                 std::string_view text, double clientTime);

  // Writer thread: moves every framed record added so far into into (which must be empty).
  // False when there was none.
  bool Take(std::string& into);
  // Writer thread: bytes of records taken earlier are written or discarded; frees their room.
  void Release(std::size_t bytes);
  // Writer thread: discards what was added and not yet taken. The number of records discarded.
  std::uint64_t DiscardPending();

  // Waits until every record added has been released, at most until deadline. True when so.
  bool WaitUntilEmpty(std::chrono::steady_clock::time_point deadline);
  // Refuses every later Add and wakes those that wait for room.
  void Close();

  std::size_t Capacity() const { return FCapacity; }

 private:
  const std::size_t FCapacity;
  const bool FWaitWhenFull;
  TSocketSignal& FReady;

  std::mutex FLock;                // guards everything below
  std::condition_variable FRoom;   // bytes released or closed
  std::condition_variable FEmpty;  // nothing held any more
  std::string FPending;            // framed records not yet taken by the writer
  std::size_t FHeld = 0;           // bytes added and not yet released (pending and taken)
  bool FClosed = false;
};

#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/uDurableFile.h"
#include "spool/TSpoolSegmentReader.h"

// What a spool keeps when its disk limit is reached.
enum class TSpoolDropPolicy {
  DropOldest,  // whole oldest segments go, with every unconfirmed record in them
  DropNewest,  // the record being added goes
};

struct TSpoolOptions {
  // Created, with its parents, when missing. One spool per directory at a time.
  std::string Directory;
  // Payload bytes of the records waiting to be sent that are kept in memory as well, so that
  // sending normally never reads the disk. Beyond it, the oldest waiting records are read back
  // from their segment when their turn comes.
  std::size_t MemoryLimitBytes = 8u << 20;
  // Bytes of all segment files together; reaching it drops records by DropPolicy, counted.
  std::uint64_t DiskLimitBytes = 1ull << 30;
  // A segment is closed and a new one begun once it passes this size. Segments are the unit of
  // removal, so it is kept at most a quarter of DiskLimitBytes.
  std::uint64_t SegmentBytes = 16u << 20;
  TSpoolDropPolicy DropPolicy = TSpoolDropPolicy::DropOldest;
  // The segment and the checkpoint are forced to the disk (fsync) at most this often, and at
  // Sync() and destruction. 0: after every record. A kill -9 of the process loses nothing either
  // way (every record is written out at Add); this bounds what a power loss can cost.
  std::uint32_t SyncIntervalMs = 1000;
  // The checkpoint is written (not forced to the disk) at every Acknowledge call, not only every
  // SyncIntervalMs, so that a kill -9 resends only the records that were in flight. For a spool
  // whose confirmations come in batches (a write call each).
  bool CheckpointEachAcknowledge = false;
};

// One record handed out for sending.
struct TSpoolRecord {
  std::uint64_t Sequence = 0;  // stable across restarts; see TSpool::RecordId
  std::string Payload;
};

struct TSpoolStatistics {
  std::uint64_t Added = 0;         // records stored by Add since open
  std::uint64_t Taken = 0;         // records handed out by Take, resends included
  std::uint64_t Acknowledged = 0;  // records confirmed since open
  std::uint64_t Dropped = 0;       // records dropped by the disk limit or a disk failure
  std::uint64_t Recovered = 0;     // unconfirmed records found on disk at open
  std::uint64_t Held = 0;          // records stored and not yet confirmed
  std::uint64_t DiskBytes = 0;     // bytes of the segment files now
  std::uint64_t MemoryBytes = 0;   // payload bytes kept in memory now (waiting and in flight)
};

// A store-and-forward queue for a forwarder: every record added is kept until the engine it is
// sent to confirms it, across stops and crashes of the process, and is sent at least once.
//
// Directory layout:
//   instance               16 hex digits, chosen at random when the directory is first used
//   segment-<first>.ksp    append-only record frames, <first> the 20-digit sequence of the first
//   checkpoint             append-only 16-byte entries; the last valid one is the watermark:
//                          every record below it is confirmed
//
// A segment frame (little-endian):
//   +--------+--------+----------+--------+-----------------+
//   | "KSP1" | length | sequence | crc32  | payload         |
//   | 4      | 4      | 8        | 4      | length bytes    |
//   +--------+--------+----------+--------+-----------------+
// crc32 covers the sequence and the payload. Reading a segment stops at the first frame that is
// incomplete or fails its check (a torn tail after a crash): the rest is reported, not used.
//
// Every record is written to the current segment in Add, with one write call (one for a batch),
// before Add returns. Each open begins a new segment, so a torn tail is never appended to. Segments
// whose records are all confirmed are removed. Opening the directory again hands out, from the
// watermark on, every record that was not confirmed (records confirmed out of order above the
// watermark are sent again: at least once, never lost).
//
// Sequences grow by one per record and continue across opens, so RecordId is a stable id for a
// record: resends of one record carry the same id, and the engine can discard them as duplicates.
//
// Thread-safe: Add, Take, Acknowledge and Retry may be called from different threads at once (one
// lock guards all state, the disk writes included; no callback is ever made).
class TSpool {
 public:
  // Opens or creates the spool; throws std::runtime_error with a clear text when the directory
  // cannot be used. Problems found in the files (torn tails, unreadable segments, a damaged
  // checkpoint) do not fail the open: see TakeProblems.
  explicit TSpool(TSpoolOptions options);
  // Sync(), then closes the files. What is not confirmed stays on disk for the next open.
  ~TSpool();
  TSpool(const TSpool&) = delete;
  TSpool& operator=(const TSpool&) = delete;

  // The spool's id, the same across opens of the directory. Any thread.
  const std::string& InstanceId() const { return FInstanceId; }
  // "<instance id>-<sequence>", e.g. "3f09a2c4d1e87b65-1042". Any thread.
  std::string RecordId(std::uint64_t sequence) const;

  // Stores a copy of the payload and writes it to the current segment. False when the record was
  // dropped instead (DropNewest at the disk limit, a record larger than the disk limit, or a
  // failed write): counted in Dropped and in TakeDroppedCount. Any thread.
  bool Add(std::string_view payload);
  // Stores the records in order as Add does, the frames of as many as fit in a segment written
  // with one write call. Returns how many were stored; the rest were dropped, counted, as Add
  // drops. Any thread.
  std::size_t Add(std::span<const std::string_view> payloads);

  // Appends to out up to maxRecords records that wait to be sent, in order: those given back by
  // Retry first (lowest sequence first), then the rest oldest first. Waits up to waitMs for the
  // first one when none waits (Wake ends the wait). The records are then in flight until
  // Acknowledge or Retry. Returns how many were appended. Any thread.
  std::size_t Take(std::vector<TSpoolRecord>& out, std::size_t maxRecords,
                   std::uint32_t waitMs = 0);

  // The engine confirmed the record: it is never handed out again. Sequences that are not in
  // flight (already confirmed, dropped, unknown) are ignored. Any thread.
  void Acknowledge(std::uint64_t sequence);
  // Acknowledge for each sequence, taking the lock (and writing the checkpoint) once.
  void Acknowledge(std::span<const std::uint64_t> sequences);
  // The engine did not take the record: it waits to be sent again, before newer records. Any
  // thread.
  void Retry(std::uint64_t sequence);
  // Every record in flight waits to be sent again (after a reconnect). Any thread.
  void RetryAll();

  // Forces the segment and the checkpoint to the disk now. Any thread.
  void Sync();
  // Ends a Take that waits. Any thread.
  void Wake();

  // Records neither in flight nor confirmed: waiting to be sent. Any thread.
  std::uint64_t WaitingCount() const;
  // Records in flight. Any thread.
  std::uint64_t InFlightCount() const;
  TSpoolStatistics Statistics() const;
  // Records dropped since the last call, for a report once a minute. Any thread.
  std::uint64_t TakeDroppedCount();
  // The problems met since the last call (at open: torn tails, damaged files; later: failed
  // writes), one line each. Any thread.
  std::vector<std::string> TakeProblems();

 private:
  struct TSegment {
    std::uint64_t First = 0;  // sequence of its first record
    std::uint64_t End = 0;    // one past its last record
    std::uint64_t Bytes = 0;
    std::string Path;
  };
  struct TWaiting {
    std::uint64_t Sequence;
    std::string Payload;
  };

  void LoadInstanceId();
  void LoadCheckpoint();
  void ScanSegments();
  void BeginSegment();
  void WriteCheckpoint(bool force);
  void SyncIfDue(bool force);
  void AdvanceWatermark();
  bool MakeRoom(std::uint64_t frameBytes);
  // Writes frames (those of payloads, numbered from FNext on) to the current segment with one
  // call. NoRoom: the disk limit and policy leave no room for them all, nothing done; Failed:
  // the segment cannot be written (reported; the caller counts the drops).
  enum class TAppend { Stored, NoRoom, Failed };
  TAppend AppendFrames(const std::string& frames, std::span<const std::string_view> payloads);
  void AcknowledgeLocked(std::uint64_t sequence);
  void DropOldestSegment();
  void RemoveConfirmedSegments();
  // The waiting record FSendNext (or the next readable one) from the disk; false when none
  // before the cache could be read. Records that cannot be read are counted as dropped.
  bool ReadFromDisk(TSpoolRecord& record);
  // Counts the waiting records [FSendNext, until) as dropped and moves past them.
  void LoseWaiting(std::uint64_t until, const std::string& why);
  void Problem(std::string text);

  const TSpoolOptions FOptions;
  std::string FInstanceId;

  mutable std::mutex Lock;  // guards everything below
  std::condition_variable FWaitingSignal;
  bool FWoken = false;

  // Oldest first; the last is the one written to.
  std::deque<TSegment> FSegments;
  std::uint64_t FDiskBytes = 0;
  TDurableFile FSegmentFile;
  TDurableFile FCheckpointFile;
  std::uint64_t FCheckpointBytes = 0;
  std::uint64_t FCheckpointWritten = 0;  // the watermark last written

  // Every record below FWatermark is confirmed (or dropped); FNext is the next to be added.
  std::uint64_t FWatermark = 0;
  std::uint64_t FNext = 0;
  // The next record to be handed out in order; [FSendNext, FNext) wait to be sent.
  std::uint64_t FSendNext = 0;
  // The newest waiting records, a suffix of [FSendNext, FNext), within MemoryLimitBytes.
  std::deque<TWaiting> FCache;
  std::size_t FCacheBytes = 0;
  // Reads the waiting records older than the cache back from their segments.
  TSpoolSegmentReader FReader;
  std::uint64_t FReaderNext = 0;  // the sequence the reader gives next
  std::uint64_t FReaderEnd = 0;   // one past the last record of the reader's segment
  // Handed out and not yet confirmed, with their payloads for a resend.
  std::map<std::uint64_t, std::string> FInFlight;
  std::size_t FInFlightBytes = 0;
  // Given back by Retry, to be handed out first.
  std::map<std::uint64_t, std::string> FRetry;
  // Confirmed above the watermark.
  std::set<std::uint64_t> FConfirmed;

  TSpoolStatistics FCounts;
  std::uint64_t FDroppedUnreported = 0;
  std::vector<std::string> FProblems;
  std::chrono::steady_clock::time_point FLastSync;
  bool FUnsynced = false;
};

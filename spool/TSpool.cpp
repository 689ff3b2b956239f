#include "spool/TSpool.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view SegmentPrefix = "segment-";
constexpr std::string_view SegmentSuffix = ".ksp";
constexpr std::uint64_t CheckpointMark = 0x4B53504348454B31ull;  // "KSPCHEK1"
constexpr std::size_t CheckpointEntryBytes = 16;
// The checkpoint starts over once it holds this many bytes of entries.
constexpr std::uint64_t CheckpointRestartBytes = 4096;

void PutLittle(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

std::uint64_t GetLittle(const char* in) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(in[i]);
  }
  return value;
}

std::string CheckpointEntry(std::uint64_t watermark) {
  std::string entry;
  PutLittle(entry, watermark);
  PutLittle(entry, watermark ^ CheckpointMark);
  return entry;
}

std::string SegmentName(std::uint64_t first) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%020llu", static_cast<unsigned long long>(first));
  return std::string(SegmentPrefix) + digits + std::string(SegmentSuffix);
}

// "segment-00000000000000001042.ksp" => 1042; false for any other name.
bool ParseSegmentName(const std::string& name, std::uint64_t& first) {
  if (name.size() != SegmentPrefix.size() + 20 + SegmentSuffix.size() ||
      name.compare(0, SegmentPrefix.size(), SegmentPrefix) != 0 ||
      name.compare(SegmentPrefix.size() + 20, SegmentSuffix.size(), SegmentSuffix) != 0) {
    return false;
  }
  first = 0;
  for (std::size_t i = SegmentPrefix.size(); i < SegmentPrefix.size() + 20; ++i) {
    if (name[i] < '0' || name[i] > '9') {
      return false;
    }
    first = first * 10 + static_cast<std::uint64_t>(name[i] - '0');
  }
  return true;
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TSpoolOptions Checked(TSpoolOptions options) {
  if (options.Directory.empty()) {
    throw std::runtime_error("spool: no directory given");
  }
  options.DiskLimitBytes = std::max<std::uint64_t>(options.DiskLimitBytes, 4096);
  options.SegmentBytes =
      std::clamp<std::uint64_t>(options.SegmentBytes, 1024, options.DiskLimitBytes / 4);
  return options;
}

}  // namespace

TSpool::TSpool(TSpoolOptions options) : FOptions(Checked(std::move(options))) {
  std::error_code error;
  fs::create_directories(FOptions.Directory, error);
  if (!fs::is_directory(FOptions.Directory, error)) {
    throw std::runtime_error("spool: directory " + FOptions.Directory + " cannot be created" +
                             (error ? ": " + error.message() : std::string()));
  }
  LoadInstanceId();
  LoadCheckpoint();
  ScanSegments();
  BeginSegment();
  if (!FSegmentFile.IsOpen()) {
    throw std::runtime_error("spool: segment in " + FOptions.Directory +
                             " cannot be created (error " +
                             std::to_string(FSegmentFile.LastError()) + ")");
  }
  WriteCheckpoint(true);
  FLastSync = std::chrono::steady_clock::now();
}

TSpool::~TSpool() {
  std::lock_guard lock(Lock);
  SyncIfDue(true);
  FReader.Close();
  FSegmentFile.Close();
  FCheckpointFile.Close();
}

std::string TSpool::RecordId(std::uint64_t sequence) const {
  return FInstanceId + "-" + std::to_string(sequence);
}

void TSpool::LoadInstanceId() {
  const fs::path path = fs::path(FOptions.Directory) / "instance";
  std::string text = ReadWholeFile(path);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  const bool valid =
      text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
  if (valid) {
    FInstanceId = text;
    return;
  }
  if (!text.empty()) {
    Problem("spool: instance id in " + path.string() + " is damaged; a new one is chosen");
  }
  std::random_device random;
  const std::uint64_t id = (static_cast<std::uint64_t>(random()) << 32) ^ random();
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(id));
  FInstanceId = digits;
  TDurableFile file;
  if (!file.Open(path.string(), true) || !file.Write(FInstanceId + "\n") || !file.Sync()) {
    throw std::runtime_error("spool: " + path.string() + " cannot be written (error " +
                             std::to_string(file.LastError()) + ")");
  }
  SyncDirectory(FOptions.Directory);
}

void TSpool::LoadCheckpoint() {
  const fs::path path = fs::path(FOptions.Directory) / "checkpoint";
  const std::string bytes = ReadWholeFile(path);
  bool found = false;
  for (std::size_t at = 0; at + CheckpointEntryBytes <= bytes.size(); at += CheckpointEntryBytes) {
    const std::uint64_t watermark = GetLittle(bytes.data() + at);
    if ((watermark ^ CheckpointMark) == GetLittle(bytes.data() + at + 8)) {
      FWatermark = watermark;
      found = true;
    }
  }
  if (!found && !bytes.empty()) {
    // Only resends follow: every record on disk counts as unconfirmed.
    Problem("spool: checkpoint " + path.string() +
            " is damaged; every record on disk is sent again");
  }
  FCheckpointWritten = found ? FWatermark : UINT64_MAX;
}

void TSpool::ScanSegments() {
  std::vector<TSegment> found;
  for (const auto& entry : fs::directory_iterator(FOptions.Directory)) {
    std::uint64_t first = 0;
    std::error_code error;
    if (entry.is_regular_file(error) && ParseSegmentName(entry.path().filename().string(), first)) {
      const auto size = entry.file_size(error);
      found.push_back({first, first, error ? 0 : size, entry.path().string()});
    }
  }
  std::sort(found.begin(), found.end(),
            [](const TSegment& a, const TSegment& b) { return a.First < b.First; });
  for (std::size_t i = 0; i < found.size(); ++i) {
    TSegment& segment = found[i];
    if (i + 1 < found.size()) {
      segment.End = found[i + 1].First;
      continue;
    }
    // The last segment's end is known only by reading it through.
    TSpoolSegmentReader reader;
    if (reader.Open(segment.Path)) {
      std::uint64_t sequence = 0;
      std::string payload;
      while (reader.Next(sequence, payload) == TSpoolSegmentReader::TResult::Record) {
        segment.End = sequence + 1;
      }
      if (reader.Offset() < segment.Bytes) {
        Problem("spool: segment " + segment.Path + " ends in a torn frame; " +
                std::to_string(segment.Bytes - reader.Offset()) + " bytes after offset " +
                std::to_string(reader.Offset()) + " are ignored");
      }
    }
  }
  std::error_code ignored;
  for (auto& segment : found) {
    // Wholly confirmed, or (the last one) without a single whole record.
    if (segment.End <= FWatermark || segment.End == segment.First) {
      fs::remove(segment.Path, ignored);
      continue;
    }
    FDiskBytes += segment.Bytes;
    FSegments.push_back(std::move(segment));
  }
  if (!FSegments.empty()) {
    // Segments dropped for the disk limit may lie below a checkpoint that was not written.
    FWatermark = std::max(FWatermark, FSegments.front().First);
    FNext = std::max(FWatermark, FSegments.back().End);
  } else {
    FNext = FWatermark;
  }
  FSendNext = FWatermark;
  FCounts.Recovered = FNext - FWatermark;
}

void TSpool::BeginSegment() {
  if (!FSegments.empty()) {
    FSegments.back().End = FNext;
  }
  FSegmentFile.Close();
  TSegment segment{FNext, FNext, 0, (fs::path(FOptions.Directory) / SegmentName(FNext)).string()};
  if (!FSegmentFile.Open(segment.Path, true)) {
    Problem("spool: segment " + segment.Path + " cannot be created (error " +
            std::to_string(FSegmentFile.LastError()) + ")");
    return;
  }
  SyncDirectory(FOptions.Directory);
  FSegments.push_back(std::move(segment));
}

bool TSpool::Add(std::string_view payload) {
  return Add(std::span<const std::string_view>(&payload, 1)) == 1;
}

std::size_t TSpool::Add(std::span<const std::string_view> payloads) {
  std::lock_guard lock(Lock);
  std::size_t stored = 0;
  std::string frames;
  std::size_t first = 0;  // the first record whose frame is in frames
  const auto dropped = [this](std::size_t count) {
    FCounts.Dropped += count;
    FDroppedUnreported += count;
  };
  const auto flush = [&](std::size_t end) {
    const auto batch = payloads.subspan(first, end - first);
    const TAppend result = batch.empty() ? TAppend::Stored : AppendFrames(frames, batch);
    if (result == TAppend::Stored) {
      stored += batch.size();
    } else if (result == TAppend::Failed || batch.size() == 1) {
      dropped(batch.size());
    } else {
      // No room for them all at once: one by one, the drop policy deciding for each.
      for (const std::string_view payload : batch) {
        const auto one = std::span<const std::string_view>(&payload, 1);
        if (AppendFrames(TSpoolSegmentReader::Frame(FNext, payload), one) == TAppend::Stored) {
          ++stored;
        } else {
          dropped(1);
        }
      }
    }
    frames.clear();
    first = end;
  };
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    const std::string_view payload = payloads[i];
    if (payload.size() > TSpoolSegmentReader::MaxPayloadBytes ||
        payload.size() + TSpoolSegmentReader::HeaderBytes > FOptions.DiskLimitBytes) {
      flush(i);
      dropped(1);
      first = i + 1;
      continue;
    }
    if (!frames.empty() &&
        frames.size() + payload.size() + TSpoolSegmentReader::HeaderBytes > FOptions.SegmentBytes) {
      flush(i);
    }
    frames += TSpoolSegmentReader::Frame(FNext + (i - first), payload);
  }
  flush(payloads.size());
  if (stored > 0) {
    FUnsynced = true;
    SyncIfDue(false);
    FWaitingSignal.notify_one();
  }
  return stored;
}

TSpool::TAppend TSpool::AppendFrames(const std::string& frames,
                                     std::span<const std::string_view> payloads) {
  if (!MakeRoom(frames.size())) {
    return TAppend::NoRoom;
  }
  if (!FSegmentFile.IsOpen() || FSegments.back().Bytes >= FOptions.SegmentBytes) {
    BeginSegment();
    if (!FSegmentFile.IsOpen()) {
      return TAppend::Failed;
    }
  }
  TSegment& segment = FSegments.back();
  if (!FSegmentFile.Write(frames)) {
    Problem("spool: writing " + segment.Path + " failed (error " +
            std::to_string(FSegmentFile.LastError()) + "); " + std::to_string(payloads.size()) +
            " records are dropped");
    // A part of the frames may have reached the file: nothing more is written behind it.
    FSegmentFile.Close();
    std::error_code ignored;
    const auto size = fs::file_size(segment.Path, ignored);
    segment.Bytes = ignored ? segment.Bytes : size;
    FDiskBytes = 0;
    for (const auto& each : FSegments) {
      FDiskBytes += each.Bytes;
    }
    return TAppend::Failed;
  }
  segment.Bytes += frames.size();
  FDiskBytes += frames.size();
  for (const std::string_view payload : payloads) {
    FCache.push_back({FNext, std::string(payload)});
    FCacheBytes += payload.size();
    ++FNext;
    ++FCounts.Added;
  }
  segment.End = FNext;
  // The oldest waiting records are on disk as well; they are read back when their turn comes.
  while (FCacheBytes > FOptions.MemoryLimitBytes && !FCache.empty()) {
    FCacheBytes -= FCache.front().Payload.size();
    FCache.pop_front();
  }
  return TAppend::Stored;
}

bool TSpool::MakeRoom(std::uint64_t frameBytes) {
  RemoveConfirmedSegments();
  while (FDiskBytes + frameBytes > FOptions.DiskLimitBytes) {
    if (FOptions.DropPolicy == TSpoolDropPolicy::DropNewest) {
      return false;
    }
    if (FSegments.size() == 1) {
      if (FSegments.front().End == FSegments.front().First) {
        return false;
      }
      // The oldest records are in the segment being written: it is closed first.
      BeginSegment();
      if (FSegments.size() == 1) {
        return false;
      }
    }
    DropOldestSegment();
  }
  return true;
}

void TSpool::DropOldestSegment() {
  const TSegment segment = FSegments.front();
  for (std::uint64_t sequence = std::max(segment.First, FWatermark); sequence < segment.End;
       ++sequence) {
    if (FConfirmed.erase(sequence) != 0) {
      continue;
    }
    if (const auto flying = FInFlight.find(sequence); flying != FInFlight.end()) {
      FInFlightBytes -= flying->second.size();
      FInFlight.erase(flying);
    }
    if (const auto again = FRetry.find(sequence); again != FRetry.end()) {
      FInFlightBytes -= again->second.size();
      FRetry.erase(again);
    }
    ++FCounts.Dropped;
    ++FDroppedUnreported;
  }
  while (!FCache.empty() && FCache.front().Sequence < segment.End) {
    FCacheBytes -= FCache.front().Payload.size();
    FCache.pop_front();
  }
  FSendNext = std::max(FSendNext, segment.End);
  FWatermark = std::max(FWatermark, segment.End);
  AdvanceWatermark();
  if (FReader.Path() == segment.Path) {
    FReader.Close();
  }
  std::error_code ignored;
  fs::remove(segment.Path, ignored);
  FDiskBytes -= segment.Bytes;
  FSegments.pop_front();
  WriteCheckpoint(true);
}

void TSpool::RemoveConfirmedSegments() {
  while (FSegments.size() > 1 && FSegments.front().End <= FWatermark) {
    const TSegment& segment = FSegments.front();
    if (FReader.Path() == segment.Path) {
      FReader.Close();
    }
    std::error_code error;
    if (!fs::remove(segment.Path, error) && error) {
      // Tried again with the next confirmation; the bytes still count against the limit.
      return;
    }
    FDiskBytes -= segment.Bytes;
    FSegments.pop_front();
  }
}

void TSpool::AdvanceWatermark() {
  while (!FConfirmed.empty() && *FConfirmed.begin() <= FWatermark) {
    if (*FConfirmed.begin() == FWatermark) {
      ++FWatermark;
    }
    FConfirmed.erase(FConfirmed.begin());
  }
}

std::size_t TSpool::Take(std::vector<TSpoolRecord>& out, std::size_t maxRecords,
                         std::uint32_t waitMs) {
  std::unique_lock lock(Lock);
  const auto ready = [this] { return FWoken || !FRetry.empty() || FSendNext < FNext; };
  if (!ready() && waitMs > 0) {
    FWaitingSignal.wait_for(lock, std::chrono::milliseconds(waitMs), ready);
  }
  FWoken = false;
  std::size_t taken = 0;
  while (taken < maxRecords) {
    TSpoolRecord record;
    if (!FRetry.empty()) {
      auto node = FRetry.extract(FRetry.begin());
      record.Sequence = node.key();
      record.Payload = node.mapped();
      FInFlight.insert(std::move(node));
    } else if (FSendNext < FNext) {
      if (!FCache.empty() && FCache.front().Sequence == FSendNext) {
        record.Sequence = FSendNext;
        record.Payload = std::move(FCache.front().Payload);
        FCacheBytes -= record.Payload.size();
        FCache.pop_front();
      } else if (!ReadFromDisk(record)) {
        continue;  // lost records were counted; FSendNext moved on
      }
      FSendNext = record.Sequence + 1;
      FInFlightBytes += record.Payload.size();
      FInFlight.emplace(record.Sequence, record.Payload);
    } else {
      break;
    }
    ++FCounts.Taken;
    out.push_back(std::move(record));
    ++taken;
  }
  return taken;
}

bool TSpool::ReadFromDisk(TSpoolRecord& record) {
  const std::uint64_t until = FCache.empty() ? FNext : FCache.front().Sequence;
  if (!FReader.IsOpen() || FReaderNext != FSendNext) {
    // The segment holding FSendNext: the last one beginning at or before it.
    FReader.Close();
    const auto segment =
        std::upper_bound(FSegments.begin(), FSegments.end(), FSendNext,
                         [](std::uint64_t wanted, const TSegment& s) { return wanted < s.First; });
    if (segment != FSegments.begin()) {
      FReader.Open(std::prev(segment)->Path);
      FReaderEnd = std::prev(segment)->End;
    }
    FReaderNext = 0;
  }
  while (FReader.IsOpen()) {
    std::uint64_t sequence = 0;
    std::string payload;
    const auto result = FReader.Next(sequence, payload);
    if (result == TSpoolSegmentReader::TResult::Record) {
      if (sequence < FSendNext) {
        continue;
      }
      FReaderNext = sequence + 1;
      if (sequence >= until) {
        break;
      }
      LoseWaiting(sequence, "a gap in segment " + FReader.Path());
      record.Sequence = sequence;
      record.Payload = std::move(payload);
      return true;
    }
    // The rest of this segment cannot be read: its records are lost, the next segment follows.
    const std::string path = FReader.Path();
    FReader.Close();
    LoseWaiting(std::min(FReaderEnd, until), "segment " + path + " is torn");
    FReaderNext = FSendNext;
    if (FSendNext >= until) {
      break;
    }
    const auto next =
        std::upper_bound(FSegments.begin(), FSegments.end(), FSendNext,
                         [](std::uint64_t wanted, const TSegment& s) { return wanted < s.First; });
    if (next == FSegments.begin()) {
      break;
    }
    FReader.Open(std::prev(next)->Path);
    FReaderEnd = std::prev(next)->End;
  }
  // Nothing readable before the records kept in memory: whatever is missing is lost.
  LoseWaiting(until, "records missing on disk");
  return false;
}

void TSpool::LoseWaiting(std::uint64_t until, const std::string& why) {
  if (until <= FSendNext) {
    return;
  }
  const std::uint64_t lost = until - FSendNext;
  Problem("spool: " + std::to_string(lost) + " records from " + std::to_string(FSendNext) +
          " cannot be read back (" + why + ") and are dropped");
  for (std::uint64_t sequence = FSendNext; sequence < until; ++sequence) {
    FConfirmed.insert(sequence);
  }
  FCounts.Dropped += lost;
  FDroppedUnreported += lost;
  FSendNext = until;
  AdvanceWatermark();
}

void TSpool::Acknowledge(std::uint64_t sequence) {
  Acknowledge(std::span<const std::uint64_t>(&sequence, 1));
}

void TSpool::Acknowledge(std::span<const std::uint64_t> sequences) {
  std::lock_guard lock(Lock);
  for (const std::uint64_t sequence : sequences) {
    AcknowledgeLocked(sequence);
  }
  AdvanceWatermark();
  RemoveConfirmedSegments();
  if (FOptions.CheckpointEachAcknowledge) {
    WriteCheckpoint(false);
  }
  SyncIfDue(false);
}

void TSpool::AcknowledgeLocked(std::uint64_t sequence) {
  const auto flying = FInFlight.find(sequence);
  if (flying == FInFlight.end()) {
    return;
  }
  FInFlightBytes -= flying->second.size();
  FInFlight.erase(flying);
  ++FCounts.Acknowledged;
  FConfirmed.insert(sequence);
}

void TSpool::Retry(std::uint64_t sequence) {
  std::lock_guard lock(Lock);
  auto node = FInFlight.extract(sequence);
  if (node.empty()) {
    return;
  }
  FRetry.insert(std::move(node));
  FWaitingSignal.notify_one();
}

void TSpool::RetryAll() {
  std::lock_guard lock(Lock);
  FRetry.merge(FInFlight);
  FWaitingSignal.notify_one();
}

void TSpool::Sync() {
  std::lock_guard lock(Lock);
  SyncIfDue(true);
}

void TSpool::Wake() {
  std::lock_guard lock(Lock);
  FWoken = true;
  FWaitingSignal.notify_all();
}

void TSpool::WriteCheckpoint(bool force) {
  if (FWatermark == FCheckpointWritten && !force) {
    return;
  }
  const std::string path = (fs::path(FOptions.Directory) / "checkpoint").string();
  if (!FCheckpointFile.IsOpen() || FCheckpointBytes >= CheckpointRestartBytes) {
    // Starting over can lose the checkpoint to a crash right here; that costs resends only.
    if (!FCheckpointFile.Open(path, true)) {
      Problem("spool: checkpoint " + path + " cannot be written (error " +
              std::to_string(FCheckpointFile.LastError()) + ")");
      return;
    }
    FCheckpointBytes = 0;
  }
  if (!FCheckpointFile.Write(CheckpointEntry(FWatermark))) {
    Problem("spool: checkpoint " + path + " cannot be written (error " +
            std::to_string(FCheckpointFile.LastError()) + ")");
    FCheckpointFile.Close();
    return;
  }
  FCheckpointBytes += CheckpointEntryBytes;
  FCheckpointWritten = FWatermark;
  FUnsynced = true;
}

void TSpool::SyncIfDue(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && FOptions.SyncIntervalMs > 0 &&
      now - FLastSync < std::chrono::milliseconds(FOptions.SyncIntervalMs)) {
    return;
  }
  FLastSync = now;
  WriteCheckpoint(false);
  if (FUnsynced) {
    FUnsynced = false;
    if (FSegmentFile.IsOpen()) {
      FSegmentFile.Sync();
    }
    if (FCheckpointFile.IsOpen()) {
      FCheckpointFile.Sync();
    }
  }
}

std::uint64_t TSpool::WaitingCount() const {
  std::lock_guard lock(Lock);
  return FRetry.size() + (FNext - FSendNext);
}

std::uint64_t TSpool::InFlightCount() const {
  std::lock_guard lock(Lock);
  return FInFlight.size();
}

TSpoolStatistics TSpool::Statistics() const {
  std::lock_guard lock(Lock);
  TSpoolStatistics counts = FCounts;
  counts.Held = FNext - FWatermark - FConfirmed.size();
  counts.DiskBytes = FDiskBytes;
  counts.MemoryBytes = FCacheBytes + FInFlightBytes;
  return counts;
}

std::uint64_t TSpool::TakeDroppedCount() {
  std::lock_guard lock(Lock);
  return std::exchange(FDroppedUnreported, 0);
}

std::vector<std::string> TSpool::TakeProblems() {
  std::lock_guard lock(Lock);
  return std::exchange(FProblems, {});
}

void TSpool::Problem(std::string text) {
  // Bounded: a disk that fails every write must not fill the memory with the same line.
  if (FProblems.size() < 100) {
    FProblems.push_back(std::move(text));
  }
}

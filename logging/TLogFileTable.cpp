#include "logging/TLogFileTable.h"

#include <algorithm>
#include <utility>

namespace {

const char* ReasonText(TLineDropReason reason) {
  return reason == TLineDropReason::OpenFailed ? "OPEN FAILED" : "WRITE FAILED";
}

}  // namespace

TLogFileTable::TRef::TRef(TRef&& other) noexcept
    : FTable(std::exchange(other.FTable, nullptr)), FEntry(std::exchange(other.FEntry, nullptr)) {}

TLogFileTable::TRef& TLogFileTable::TRef::operator=(TRef&& other) noexcept {
  if (this != &other) {
    Reset();
    FTable = std::exchange(other.FTable, nullptr);
    FEntry = std::exchange(other.FEntry, nullptr);
  }
  return *this;
}

void TLogFileTable::TRef::Reset() noexcept {
  if (FEntry != nullptr) {
    FTable->Release(*FEntry);
    FEntry = nullptr;
    FTable = nullptr;
  }
}

bool TLogFileTable::TRef::IsOpen() const noexcept {
  return FEntry != nullptr && FEntry->File != nullptr;
}

bool TLogFileTable::TRef::EnsureOpen() {
  return FEntry != nullptr && FTable->EnsureOpen(*FEntry);
}

void TLogFileTable::TRef::WriteLine(std::string_view line) {
  if (FEntry != nullptr) {
    FTable->WriteLine(*FEntry, line);
  }
}

const std::string& TLogFileTable::TRef::Path() const {
  static const std::string none;
  return FEntry != nullptr ? FEntry->Path : none;
}

TLogFileTable::TLogFileTable(TLogFileTableOptions options) : FOptions(std::move(options)) {
  if (!FOptions.FileSystem) {
    FOptions.FileSystem = PlatformLogFileSystem();
  }
  if (!FOptions.Ticks) {
    FOptions.Ticks = GetTickCount32;
  }
}

TLogFileTable::~TLogFileTable() {
  WriteHeld();
  for (auto& [path, entry] : FEntries) {
    CompleteTornLine(entry, true);
    Close(entry);
  }
}

TLogFileTable::TRef TLogFileTable::Acquire(const std::string& path) {
  auto [position, made] = FEntries.try_emplace(path);
  TEntry& entry = position->second;
  if (made) {
    entry.Path = path;
  }
  ++entry.References;
  return TRef(this, &entry);
}

bool TLogFileTable::EnsureOpen(TEntry& entry) {
  if (entry.File) {
    return true;
  }
  const std::uint32_t now = FOptions.Ticks();
  if (entry.OpenFailed &&
      static_cast<std::uint32_t>(now - entry.LastOpenAttempt) < FOptions.OpenRetryMs) {
    return false;
  }
  entry.LastOpenAttempt = now;
  if (FOptions.MaxOpenFiles > 0) {
    while (FOpenFiles.size() >= FOptions.MaxOpenFiles) {
      Close(*FOpenFiles.front());
    }
  }
  int error = 0;
  entry.File = OpenFile(entry.Path, error);
  if (!entry.File) {
    entry.OpenFailed = true;
    entry.OpenError = error;
    return false;
  }
  entry.OpenFailed = false;
  entry.OpenSlot = FOpenFiles.insert(FOpenFiles.end(), &entry);
  return true;
}

std::unique_ptr<TLogFileSystem::TFile> TLogFileTable::OpenFile(const std::string& path,
                                                               int& error) {
  std::unique_ptr<TLogFileSystem::TFile> file = FOptions.FileSystem->Open(path, error);
  // Out of descriptors below the bound (connections and journals hold the rest): the files
  // written least recently make room, as the bound would have them do. A few at most, so that a
  // shortage that closing does not cure costs little.
  for (int attempt = 0; !file && attempt < ShortageAttempts && !FOpenFiles.empty() &&
                        FOptions.FileSystem->IsOutOfDescriptors(error);
       ++attempt) {
    Close(*FOpenFiles.front());
    file = FOptions.FileSystem->Open(path, error);
  }
  return file;
}

void TLogFileTable::WriteLine(TEntry& entry, std::string_view line) {
  if (!FHolding) {
    const std::size_t end = line.size();
    WriteLines(entry, line, &end, 1);
    return;
  }
  if (entry.HeldEnds.empty()) {
    FHeldEntries.push_back(&entry);
  }
  entry.Held += line;
  entry.HeldEnds.push_back(entry.Held.size());
}

void TLogFileTable::WriteHeld() {
  FHolding = false;
  for (TEntry* entry : FHeldEntries) {
    WriteHeld(*entry);
  }
  FHeldEntries.clear();
}

void TLogFileTable::WriteHeld(TEntry& entry) {
  if (entry.HeldEnds.empty()) {
    return;
  }
  WriteLines(entry, entry.Held, entry.HeldEnds.data(), entry.HeldEnds.size());
  entry.Held.clear();
  entry.HeldEnds.clear();
  KeepOrFreeHeld(entry);
}

void TLogFileTable::KeepOrFreeHeld(TEntry& entry) noexcept {
  FKeptHeldBytes -= entry.HeldKept;
  entry.HeldKept = 0;
  // A string's inner buffer costs no heap; only what lies beyond it counts.
  const std::size_t inner = std::string().capacity();
  const std::size_t kept = (entry.Held.capacity() > inner ? entry.Held.capacity() : 0) +
                           entry.HeldEnds.capacity() * sizeof(std::size_t);
  if (kept > KeptHeldCapacity || FKeptHeldBytes + kept > KeptHeldBudget) {
    std::string().swap(entry.Held);
    std::vector<std::size_t>().swap(entry.HeldEnds);
    return;
  }
  entry.HeldKept = kept;
  FKeptHeldBytes += kept;
}

void TLogFileTable::WriteLines(TEntry& entry, std::string_view bytes, const std::size_t* ends,
                               std::size_t lineCount) {
  if (!EnsureOpen(entry)) {
    Count(entry, TLineDropReason::OpenFailed, entry.OpenError, lineCount);
    return;
  }
  int error = 0;
  if (!entry.Pending.empty() && !WriteRest(entry, entry.Pending, error)) {
    // The torn line still takes no more: these lines would follow it on the same line.
    Count(entry, TLineDropReason::WriteFailed, error, lineCount);
    Close(entry);
    return;
  }
  const std::ptrdiff_t written = entry.File->WriteSome(bytes, error);
  if (written == static_cast<std::ptrdiff_t>(bytes.size())) {
    FOpenFiles.splice(FOpenFiles.end(), FOpenFiles, entry.OpenSlot);
    return;
  }
  if (written <= 0) {
    // Nothing of the lines is in the file. Closed, so the next line opens the file again.
    Count(entry, TLineDropReason::WriteFailed, error, lineCount);
    Close(entry);
    return;
  }
  entry.Pending.assign(bytes.substr(static_cast<std::size_t>(written)));
  if (WriteRest(entry, entry.Pending, error)) {
    FOpenFiles.splice(FOpenFiles.end(), FOpenFiles, entry.OpenSlot);
    return;
  }
  // Only the rest of the line that was cut waits for room; the whole lines after it are
  // dropped, as lines coming after a torn one are.
  const std::size_t cut = bytes.size() - entry.Pending.size();
  const std::size_t* torn = std::upper_bound(ends, ends + lineCount, cut);
  const std::size_t tornStart = torn == ends ? 0 : *(torn - 1);
  std::size_t dropped = static_cast<std::size_t>(ends + lineCount - torn);
  if (cut == tornStart) {
    // The cut fell on a line end: no line is torn.
    std::string().swap(entry.Pending);
  } else {
    entry.Pending.resize(*torn - cut);
    --dropped;
  }
  if (dropped > 0) {
    Count(entry, TLineDropReason::WriteFailed, error, dropped);
  }
  // The rest goes before the next line, once there is room.
  Close(entry);
}

bool TLogFileTable::WriteRest(TEntry& entry, std::string& bytes, int& error) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::ptrdiff_t written =
        entry.File->WriteSome(std::string_view(bytes).substr(done), error);
    if (written <= 0) {
      bytes.erase(0, done);
      return false;
    }
    done += static_cast<std::size_t>(written);
  }
  // Back to no capacity: thousands of entries may exist at once.
  std::string().swap(bytes);
  return true;
}

void TLogFileTable::Close(TEntry& entry) noexcept {
  if (entry.File) {
    FOpenFiles.erase(entry.OpenSlot);
    entry.File.reset();
  }
}

void TLogFileTable::Count(TEntry& entry, TLineDropReason reason, int code, std::uint64_t lines) {
  FDroppedLines += lines;
  FUnreportedDrops += lines;
  for (TDropCount& drop : entry.Drops) {
    if (drop.Reason == reason && drop.Code == code) {
      drop.Count += lines;
      return;
    }
  }
  entry.Drops.push_back({reason, code, lines});
}

void TLogFileTable::CompleteTornLine(TEntry& entry, bool lastChance) {
  if (entry.Pending.empty()) {
    return;
  }
  int error = 0;
  if (!entry.File) {
    entry.File = OpenFile(entry.Path, error);
    if (entry.File) {
      entry.OpenSlot = FOpenFiles.insert(FOpenFiles.end(), &entry);
    }
  }
  const bool opened = entry.File != nullptr;
  if (opened && WriteRest(entry, entry.Pending, error)) {
    return;
  }
  if (!lastChance) {
    return;
  }
  // The rest is lost: the line end at least keeps whatever follows in the file on a line of its
  // own.
  std::string lineEnd = "\r\n";
  if (opened) {
    WriteRest(entry, lineEnd, error);
  }
  std::string().swap(entry.Pending);
  Count(entry, TLineDropReason::WriteFailed, error);
}

void TLogFileTable::Release(TEntry& entry) noexcept {
  if (--entry.References > 0) {
    return;
  }
  try {
    if (!entry.HeldEnds.empty()) {
      if (FOptions.BeforeEarlyWrite) {
        FOptions.BeforeEarlyWrite();
      }
      std::erase(FHeldEntries, &entry);
      WriteHeld(entry);
    }
    CompleteTornLine(entry, false);
    Close(entry);
    if (!entry.Pending.empty()) {
      // Kept, so that the rest is written before anything else reaches this path.
      return;
    }
    if (!entry.Drops.empty()) {
      FReleasedDrops.push_back({entry.Path, std::move(entry.Drops)});
    }
  } catch (...) {
    // Out of memory while keeping the counts: they are lost, the file is closed all the same.
  }
  FKeptHeldBytes -= entry.HeldKept;
  const std::string path = std::move(entry.Path);
  FEntries.erase(path);
}

void TLogFileTable::AppendReport(std::vector<std::string>& lines, const std::string& path,
                                 const std::vector<TDropCount>& drops) {
  for (const TDropCount& drop : drops) {
    lines.push_back("DROPPED " + std::to_string(drop.Count) + " LINES [code=" +
                    std::to_string(drop.Code) + "] " + ReasonText(drop.Reason) + ": " + path);
  }
}

void TLogFileTable::TakeDropReport(std::vector<std::string>& lines, bool force) {
  if (FUnreportedDrops == 0) {
    return;
  }
  const std::uint32_t now = FOptions.Ticks();
  if (!force && FReported &&
      static_cast<std::uint32_t>(now - FLastReport) < FOptions.ReportIntervalMs) {
    return;
  }
  FReported = true;
  FLastReport = now;
  FUnreportedDrops = 0;
  for (const TReleasedDrops& released : FReleasedDrops) {
    AppendReport(lines, released.Path, released.Drops);
  }
  FReleasedDrops.clear();
  for (auto& [path, entry] : FEntries) {
    if (!entry.Drops.empty()) {
      AppendReport(lines, path, entry.Drops);
      entry.Drops.clear();
    }
  }
}

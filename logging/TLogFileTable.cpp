#include "logging/TLogFileTable.h"

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
  entry.File = FOptions.FileSystem->Open(entry.Path, error);
  if (!entry.File) {
    entry.OpenFailed = true;
    entry.OpenError = error;
    return false;
  }
  entry.OpenFailed = false;
  entry.OpenSlot = FOpenFiles.insert(FOpenFiles.end(), &entry);
  return true;
}

void TLogFileTable::WriteLine(TEntry& entry, std::string_view line) {
  if (!EnsureOpen(entry)) {
    Count(entry, TLineDropReason::OpenFailed, entry.OpenError);
    return;
  }
  int error = 0;
  if (!entry.Pending.empty() && !WriteRest(entry, entry.Pending, error)) {
    // The torn line still takes no more: this line would follow it on the same line.
    Count(entry, TLineDropReason::WriteFailed, error);
    Close(entry);
    return;
  }
  const std::ptrdiff_t written = entry.File->WriteSome(line, error);
  if (written == static_cast<std::ptrdiff_t>(line.size())) {
    FOpenFiles.splice(FOpenFiles.end(), FOpenFiles, entry.OpenSlot);
    return;
  }
  if (written <= 0) {
    // Nothing of the line is in the file. Closed, so the next line opens the file again.
    Count(entry, TLineDropReason::WriteFailed, error);
    Close(entry);
    return;
  }
  entry.Pending.assign(line.substr(static_cast<std::size_t>(written)));
  if (!WriteRest(entry, entry.Pending, error)) {
    // The rest goes before the next line, once there is room.
    Close(entry);
    return;
  }
  FOpenFiles.splice(FOpenFiles.end(), FOpenFiles, entry.OpenSlot);
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

void TLogFileTable::Count(TEntry& entry, TLineDropReason reason, int code) {
  ++FDroppedLines;
  ++FUnreportedDrops;
  for (TDropCount& drop : entry.Drops) {
    if (drop.Reason == reason && drop.Code == code) {
      ++drop.Count;
      return;
    }
  }
  entry.Drops.push_back({reason, code, 1});
}

void TLogFileTable::CompleteTornLine(TEntry& entry, bool lastChance) {
  if (entry.Pending.empty()) {
    return;
  }
  int error = 0;
  if (!entry.File) {
    entry.File = FOptions.FileSystem->Open(entry.Path, error);
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

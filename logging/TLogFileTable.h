#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "logging/TLogFileSystem.h"
#include "platform/uDateTime.h"

// Why a line did not reach its file.
enum class TLineDropReason { OpenFailed, WriteFailed };

struct TLogFileTableOptions {
  // At most this many files are open at once; opening one more closes the one written least
  // recently (it opens again with its next line). 0: no bound.
  std::size_t MaxOpenFiles = 4096;
  // A file that could not be opened is tried again with a line at most this often.
  std::uint32_t OpenRetryMs = 1000;
  // Dropped lines are reported at most this often.
  std::uint32_t ReportIntervalMs = 60'000;
  // Milliseconds, wrapping at 2^32; read only on the paths that open files or report.
  std::function<std::uint32_t()> Ticks = GetTickCount32;
  // Null: the platform's files.
  std::shared_ptr<TLogFileSystem> FileSystem;
  // Called before held lines are written ahead of WriteHeld (a file let go of during the pass),
  // so that whatever must precede the files (the forwarders' journals) can be written first.
  std::function<void()> BeforeEarlyWrite;
};

// The open files of the log tree, one per path, shared by every producer whose lines lead to
// that path and counted by reference: the file closes when its last user lets go of it.
//
// Failures cost lines, never the shape of a line, and never go unreported:
// - A file that cannot be opened drops its lines, counted as OpenFailed with the platform's code;
//   the open is tried again with a line at most once every OpenRetryMs. An open that finds the
//   process out of descriptors first closes the files written least recently, a few at most.
// - A write that fails drops its line, counted as WriteFailed, and the file is closed, so the
//   next line opens it again (freed space or a repaired mount then works without a restart).
// - A write cut short (a full disk) is completed at once if it can be; otherwise the rest of the
//   line is kept and written before the next line, once there is room. Until then new lines are
//   dropped (and counted), so the torn line is never followed by another. A file let go of with
//   its rest still unwritten keeps its place in the table, and its rest is written when the path
//   is used again; at the table's end the rest is written, or else just the line end, and the
//   line counted as lost.
// TakeDropReport turns the counts into diagnostic lines at most once every ReportIntervalMs.
//
// A line that meets an open file with nothing pending costs one write call and no allocation.
//
// Between HoldLines and WriteHeld the lines are collected per file instead, and WriteHeld writes
// each file's lines with one write call, whole and in the order they came. The owner holds them
// only for one pass over work that is already waiting, so no line waits longer than that pass.
// A file let go of meanwhile has its lines written first.
// One owner's thread; no lock.
class TLogFileTable {
  struct TEntry;

 public:
  // A counted reference to the file of one path; empty when default-made or moved from.
  class TRef {
   public:
    TRef() = default;
    TRef(TRef&& other) noexcept;
    TRef& operator=(TRef&& other) noexcept;
    TRef(const TRef&) = delete;
    TRef& operator=(const TRef&) = delete;
    ~TRef() { Reset(); }

    // Lets go of the file.
    void Reset() noexcept;
    bool Empty() const noexcept { return FEntry == nullptr; }
    // Whether the file is open now.
    bool IsOpen() const noexcept;
    // Opens the file when it is closed (within the retry rule). False when it is not open.
    bool EnsureOpen();
    // Appends one whole line (its line end included), or drops and counts it.
    void WriteLine(std::string_view line);
    const std::string& Path() const;

   private:
    friend class TLogFileTable;
    TRef(TLogFileTable* table, TEntry* entry) : FTable(table), FEntry(entry) {}

    TLogFileTable* FTable = nullptr;
    TEntry* FEntry = nullptr;
  };

  explicit TLogFileTable(TLogFileTableOptions options = {});
  // Every reference must be gone. Writes what is pending and closes every file.
  ~TLogFileTable();
  TLogFileTable(const TLogFileTable&) = delete;
  TLogFileTable& operator=(const TLogFileTable&) = delete;

  // A reference to the file of path; the file opens with the first line (or EnsureOpen).
  TRef Acquire(const std::string& path);

  // Collects the lines of every file from now on, until WriteHeld.
  void HoldLines() { FHolding = true; }
  // Writes what was collected since HoldLines, one write call per file, and ends collecting.
  void WriteHeld();

  // Appends one line per path and reason that dropped lines since the last report:
  //   "DROPPED 1645 LINES [code=28] WRITE FAILED: /srv/Logs/10.1.2.3/app/mod/2024_03_07/14.log"
  //   "DROPPED 12 LINES [code=13] OPEN FAILED: ..."
  // and clears the counts; nothing when ReportIntervalMs has not passed since the last report
  // (unless force), or nothing was dropped.
  void TakeDropReport(std::vector<std::string>& lines, bool force = false);

  // An entry keeps the buffers of its held lines for the next pass (so a busy file does not
  // grow them anew every pass) while they are at most KeptHeldCapacity and all kept buffers
  // together stay within KeptHeldBudget; the rest are freed once written. With thousands of
  // files, each keeping a few kilobytes would add up to tens of megabytes held idle.
  static constexpr std::size_t KeptHeldCapacity = 64 * 1024;
  static constexpr std::size_t KeptHeldBudget = 1024 * 1024;
  // The bytes of held-line buffers kept between passes, all entries together.
  std::size_t KeptHeldBytes() const { return FKeptHeldBytes; }

  // Paths in the table, open files, and lines dropped since the table was made.
  std::size_t FileCount() const { return FEntries.size(); }
  std::size_t OpenFileCount() const { return FOpenFiles.size(); }
  std::uint64_t DroppedLines() const { return FDroppedLines; }

 private:
  struct TDropCount {
    TLineDropReason Reason;
    int Code;
    std::uint64_t Count;
  };
  struct TReleasedDrops {
    std::string Path;
    std::vector<TDropCount> Drops;
  };
  using TOpenList = std::list<TEntry*>;
  // Open files closed, one each, for an open that found the descriptors used up.
  static constexpr int ShortageAttempts = 4;

  struct TEntry {
    std::string Path;
    std::size_t References = 0;
    std::unique_ptr<TLogFileSystem::TFile> File;
    TOpenList::iterator OpenSlot;  // valid while File is set
    bool OpenFailed = false;
    int OpenError = 0;
    std::uint32_t LastOpenAttempt = 0;
    // The unwritten rest of a line cut short.
    std::string Pending;
    std::vector<TDropCount> Drops;
    // Lines collected while the table holds them, and the end offset of each in Held.
    std::string Held;
    std::vector<std::size_t> HeldEnds;
    // The capacity of Held and HeldEnds counted in FKeptHeldBytes.
    std::size_t HeldKept = 0;
  };

  bool EnsureOpen(TEntry& entry);
  // Opens path; when the process is out of descriptors, closes open files to make room.
  std::unique_ptr<TLogFileSystem::TFile> OpenFile(const std::string& path, int& error);
  void WriteLine(TEntry& entry, std::string_view line);
  // Writes whole lines with one call; ends has the end offset of each line in bytes.
  void WriteLines(TEntry& entry, std::string_view bytes, const std::size_t* ends,
                  std::size_t lineCount);
  // Writes the entry's held lines, if any.
  void WriteHeld(TEntry& entry);
  // Keeps the entry's emptied held buffers within the bounds, or frees them.
  void KeepOrFreeHeld(TEntry& entry) noexcept;
  // Writes all of bytes; false (bytes then hold what is left) when the file takes no more.
  bool WriteRest(TEntry& entry, std::string& bytes, int& error);
  void Close(TEntry& entry) noexcept;
  void Count(TEntry& entry, TLineDropReason reason, int code, std::uint64_t lines = 1);
  void Release(TEntry& entry) noexcept;
  // A file let go of or at the table's end: its rest, or else its line end, is written.
  void CompleteTornLine(TEntry& entry, bool lastChance);
  static void AppendReport(std::vector<std::string>& lines, const std::string& path,
                           const std::vector<TDropCount>& drops);

  TLogFileTableOptions FOptions;
  std::unordered_map<std::string, TEntry> FEntries;
  // Open files, written least recently first.
  TOpenList FOpenFiles;
  // Counts of paths that have left the table since the last report.
  std::vector<TReleasedDrops> FReleasedDrops;
  std::uint64_t FDroppedLines = 0;
  std::uint64_t FUnreportedDrops = 0;
  bool FReported = false;
  std::uint32_t FLastReport = 0;
  // Set from HoldLines to WriteHeld.
  bool FHolding = false;
  // The entries with held lines, each once, in the order of their first held line.
  std::vector<TEntry*> FHeldEntries;
  // The sum of every entry's HeldKept.
  std::size_t FKeptHeldBytes = 0;
};

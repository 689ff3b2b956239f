#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "logging/TLogFileTable.h"
#include "logging/uFormatTimeMask.h"
#include "logging/uLogProducer.h"
#include "platform/uLocale.h"

// The compiled masks of the log tree's names and of the record stamps. One set serves any number
// of file producers; it is never changed after construction.
struct TFileLogMasks {
  explicit TFileLogMasks(const TFormatSettings& settings = ProcessFormatSettings());

  TTimeMask Day;          // "yyyy_mm_dd" => 2024_03_07
  TTimeMask Hour;         // "hh" => 14
  TTimeMask ServerStamp;  // "hh:nn:ss.zzz" => 14:05:09.120
  TTimeMask ClientStamp;  // "[hh:nn:ss.zzz] : " => [14:05:08.997] :
};

// The server and client stamps of a line, each kept for the last time it was made for, shared by
// the file producers of one thread: many lines share one millisecond, and with thousands of
// streams taking records in turn a producer of its own would make both stamps anew for nearly
// every line. The owner's thread; no lock.
class TLineStamps {
 public:
  // "hh:nn:ss.zzz" and "[hh:nn:ss.zzz] : " of masks for time (see TFileLogMasks); valid until
  // the next call.
  const std::string& Server(const TFileLogMasks& masks, TDateTime time) {
    return Made(FServer, masks.ServerStamp, time);
  }
  const std::string& Client(const TFileLogMasks& masks, TDateTime time) {
    return Made(FClient, masks.ClientStamp, time);
  }

 private:
  struct TStamp {
    const TTimeMask* Mask = nullptr;  // null until made
    TDateTime Time = 0;
    std::string Text;
  };

  static const std::string& Made(TStamp& stamp, const TTimeMask& mask, TDateTime time) {
    if (stamp.Mask != &mask || stamp.Time != time) {
      stamp.Text.clear();
      mask.AppendTo(stamp.Text, time);
      stamp.Mask = &mask;
      stamp.Time = time;
    }
    return stamp.Text;
  }

  TStamp FServer;
  TStamp FClient;
};

// Stores the lines of one stream as text files, one file per hour of the server's time:
//
//   BaseCatalog + address/application/module/yyyy_mm_dd/[prefix_]hh.log
//
// BaseCatalog is a plain prefix (it should end with a separator). In the path only, every "/",
// "\" and control character of the address, application, module and prefix becomes "_", as do
// the characters the platform forbids in names, and an application or module name "." or ".."
// has its dots replaced by "_", so no record can place a file outside its own folder. A part
// longer than MaxNamePartLength bytes is cut to that length and followed by "~" and the
// FNV-1a 32-bit hash of the whole field in 8 lower-case hexadecimal digits, so that a too long
// name still gets a file of its own.
//
// A line is server stamp + client stamp + text + CR LF, or text + CR LF when clientTime is 0:
//   14:05:09.120[14:05:08.997] : text
//
// The files come from a TLogFileTable: producers whose lines lead to one path share one open
// file, and failed opens and writes are retried, counted and reported there.
//
// The producer does all its work on its caller's thread and runs no thread of its own: Stop()
// and WaitFor() return at once. One caller at a time; no lock.
class TFileLogProducer final : public TCustomLogProducer {
 public:
  // The longest name part the log tree gets from one field.
  static constexpr std::size_t MaxNamePartLength = 200;

  // masks: shared compiled masks; null builds a set of its own from the process locale.
  // files: the table the producer's files come from, which must outlive the producer; null
  // gives the producer a table of its own. stamps: the same for the line stamps, shared with
  // producers of the caller's thread whose masks live as long.
  // Any thread (the producer then belongs to that caller, and so does the table).
  TFileLogProducer(std::string baseCatalog, std::string peerAddress, std::string peerPort,
                   std::string applicationName, std::string moduleName, std::string filePrefix,
                   std::string libraryPath = {},
                   std::shared_ptr<const TFileLogMasks> masks = nullptr,
                   TLogFileTable* files = nullptr, TLineStamps* stamps = nullptr);
  ~TFileLogProducer() override;

  // TCustomLogProducer
  bool IsOpen() const override { return FFile.IsOpen(); }
  void AddMessage(std::string_view text, TDateTime clientTime, TDateTime serverTime) override;

  // The file that a line handed over at serverTime belongs to. The owner's thread.
  std::string FileName(TDateTime serverTime) const;

  // The table the producer's files come from. The owner's thread.
  TLogFileTable& Files() { return *FFiles; }

 private:
  void OpenFile(const std::string& fileName);
  void CloseFile() { FFile.Reset(); }

  // Shared with the producer's creator and its other producers.
  std::shared_ptr<const TFileLogMasks> FMasks;
  // BaseCatalog + address/application/module/, built once.
  std::string FFolder;
  // "prefix_" or empty, built once.
  std::string FNamePrefix;

  // Declared before FFile, which refers into it.
  std::unique_ptr<TLogFileTable> FOwnFiles;
  TLogFileTable* FFiles;
  TLogFileTable::TRef FFile;
  std::unique_ptr<TLineStamps> FOwnStamps;
  TLineStamps* FStamps;
  // The whole hour of the last open attempt, and the server time it was worked out for;
  // meaningful once FHourTaken is set.
  TDateTime CurrentHour = 0;
  TDateTime FHourTime = 0;
  bool FHourTaken = false;
  // The line being written, kept so that its memory is reused.
  std::string FLine;
};

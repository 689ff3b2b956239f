#include "logging/TFileLogProducer.h"

#include <cstdint>
#include <utility>

#include "platform/uLogFile.h"
#include "platform/uProcess.h"

namespace {

constexpr std::size_t KeptLineCapacity = 4096;

// FNV-1a, 32 bits: stable across builds and platforms, so a long name always leads to the same
// file.
std::uint32_t Fnv1a32(std::string_view bytes) {
  std::uint32_t hash = 2166136261u;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

// One field as a name in the log tree: separators, control characters and the platform's
// forbidden characters become "_"; with folderName, "." and ".." become "_" and "__", characters
// that the platform would drop from the end of the name become "_" (on Windows "..." would
// otherwise name the parent folder), and a name that the platform reserves for a device ("CON",
// "nul.txt" on Windows) gets a "_" in front. A file prefix needs none of these: "_" and the hour
// always follow it. A field beyond MaxNamePartLength bytes is cut and marked with the hash of all
// of it.
std::string SafeNamePart(std::string_view field, bool folderName) {
  std::string name(field.substr(0, TFileLogProducer::MaxNamePartLength));
  if (field.size() > TFileLogProducer::MaxNamePartLength) {
    static constexpr char Hex[] = "0123456789abcdef";
    const std::uint32_t hash = Fnv1a32(field);
    name += '~';
    for (int shift = 28; shift >= 0; shift -= 4) {
      name += Hex[(hash >> shift) & 0xF];
    }
  }
  for (char& c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32 ||
        ForbiddenFileNameCharacters.find(c) != std::string_view::npos) {
      c = '_';
    }
  }
  if (folderName && (name == "." || name == "..")) {
    name.assign(name.size(), '_');
  }
  for (auto last = name.rbegin();
       folderName && last != name.rend() &&
       DroppedTrailingFileNameCharacters.find(*last) != std::string_view::npos;
       ++last) {
    *last = '_';
  }
  if (folderName && IsReservedFileName(name)) {
    name.insert(0, 1, '_');
  }
  return name;
}

}  // namespace

TFileLogMasks::TFileLogMasks(const TFormatSettings& settings)
    : Day("yyyy_mm_dd", settings),
      Hour("hh", settings),
      ServerStamp("hh:nn:ss.zzz", settings),
      ClientStamp("[hh:nn:ss.zzz] : ", settings) {}

TFileLogProducer::TFileLogProducer(std::string baseCatalog, std::string peerAddress,
                                   std::string peerPort, std::string applicationName,
                                   std::string moduleName, std::string filePrefix,
                                   std::string libraryPath,
                                   std::shared_ptr<const TFileLogMasks> masks, TLogFileTable* files,
                                   TLineStamps* stamps)
    : TCustomLogProducer(std::move(baseCatalog), std::move(peerAddress), std::move(peerPort),
                         std::move(applicationName), std::move(moduleName), std::move(filePrefix),
                         std::move(libraryPath)),
      FMasks(masks ? std::move(masks) : std::make_shared<const TFileLogMasks>()),
      FOwnFiles(files != nullptr ? nullptr : std::make_unique<TLogFileTable>()),
      FFiles(files != nullptr ? files : FOwnFiles.get()),
      FOwnStamps(stamps != nullptr ? nullptr : std::make_unique<TLineStamps>()),
      FStamps(stamps != nullptr ? stamps : FOwnStamps.get()) {
  // The address comes from the network layer and is always safe; it is cleaned all the same, as
  // the diagnostic log's creator and tests hand in their own.
  FFolder = BaseCatalog + SafeNamePart(PeerAddress, true) + PathDelimiter +
            SafeNamePart(ApplicationName, true) + PathDelimiter + SafeNamePart(ModuleName, true) +
            PathDelimiter;
  if (!FilePrefix.empty()) {
    FNamePrefix = SafeNamePart(FilePrefix, false) + "_";
  }
  // The thread body would do nothing, so no thread is started: with one producer per stream a
  // busy server would otherwise start and join a thread for every stream.
}

TFileLogProducer::~TFileLogProducer() {
  TerminateAndWait();
  CloseFile();
}

std::string TFileLogProducer::FileName(TDateTime serverTime) const {
  std::string name = FFolder;
  FMasks->Day.AppendTo(name, serverTime);
  name += PathDelimiter;
  name += FNamePrefix;
  FMasks->Hour.AppendTo(name, serverTime);
  name += ".log";
  return name;
}

void TFileLogProducer::AddMessage(std::string_view text, TDateTime clientTime,
                                  TDateTime serverTime) {
  // Many lines share one millisecond: the hour is worked out once for it.
  if (!FHourTaken || serverTime != FHourTime) {
    const TDateTime hour = TruncateToHour(serverTime);
    if (!FHourTaken || hour != CurrentHour) {
      OpenFile(FileName(serverTime));
    }
    CurrentHour = hour;
    FHourTime = serverTime;
    FHourTaken = true;
  }
  FLine.clear();
  if (clientTime != 0) {
    FLine += FStamps->Server(*FMasks, serverTime);
    FLine += FStamps->Client(*FMasks, clientTime);
  }
  FLine += text;
  FLine += "\r\n";
  // The table writes the whole line or counts it as dropped; it also opens the file again when
  // the last open or write failed.
  FFile.WriteLine(FLine);
  // Thousands of producers may live at once: none keeps the memory of an exceptionally long line.
  if (FLine.capacity() > KeptLineCapacity) {
    std::string().swap(FLine);
  }
}

void TFileLogProducer::OpenFile(const std::string& fileName) {
  // The new hour's file first, so that a file shared with the same path stays open.
  TLogFileTable::TRef file = FFiles->Acquire(fileName);
  file.EnsureOpen();
  FFile = std::move(file);
}

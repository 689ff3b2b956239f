#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "logging/TFileLogProducer.h"
#include "logging/TLogFileTable.h"
#include "plugins/forward/uForwardRecord.h"

// Writes forwarded records into the very file tree and line format of the server: one file
// producer per stream (address, port, application, module, prefix; compared without regard to
// ASCII letter case, as the server's file entries are), all sharing one file table, so two
// ports of one host share their hour's file as in the server.
// One thread; no lock.
class TStreamLineWriter {
 public:
  // baseCatalog ends with the platform's separator, as the server's BaseCatalog does.
  explicit TStreamLineWriter(std::string baseCatalog, std::size_t maxProducers = 4096);

  // Appends the record's line to its hour's file; the line is handed to the platform before
  // this returns.
  void Write(const TForwardRecord& record);

  // Lines of the file table that could not be written, for the report.
  void TakeDropReport(std::vector<std::string>& lines) { FFiles.TakeDropReport(lines); }
  std::uint64_t DroppedLines() const { return FFiles.DroppedLines(); }

 private:
  std::string FBaseCatalog;
  std::size_t FMaxProducers;
  std::shared_ptr<const TFileLogMasks> FMasks;
  // Declared before the producers, which hold references into it.
  TLogFileTable FFiles;
  std::unordered_map<std::string, std::unique_ptr<TFileLogProducer>> FProducers;
};

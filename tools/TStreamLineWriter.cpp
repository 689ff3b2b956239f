#include "tools/TStreamLineWriter.h"

#include <utility>

TStreamLineWriter::TStreamLineWriter(std::string baseCatalog, std::size_t maxProducers)
    : FBaseCatalog(std::move(baseCatalog)),
      FMaxProducers(maxProducers),
      FMasks(std::make_shared<const TFileLogMasks>()) {}

void TStreamLineWriter::Write(const TForwardRecord& record) {
  const std::string port = std::to_string(record.PeerPort);
  std::string key = "*" + record.PeerAddress + ":" + port + "=" + record.Application + "|" +
                    record.Module + "|" + record.Prefix;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  auto found = FProducers.find(key);
  if (found == FProducers.end()) {
    if (FProducers.size() >= FMaxProducers) {
      // Only open files cost; the next line of a stream let go of opens its file again.
      FProducers.clear();
    }
    found = FProducers
                .emplace(std::move(key),
                         std::make_unique<TFileLogProducer>(
                             FBaseCatalog, record.PeerAddress, port, record.Application,
                             record.Module, record.Prefix, std::string(), FMasks, &FFiles))
                .first;
  }
  found->second->AddMessage(record.Text, record.ClientTime, record.ServerTime);
}

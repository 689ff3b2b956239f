#include "logging/uLogProducer.h"

#include <utility>

TCustomLogProducer::TCustomLogProducer(std::string baseCatalog, std::string peerAddress,
                                       std::string peerPort, std::string applicationName,
                                       std::string moduleName, std::string filePrefix,
                                       std::string libraryPath)
    : LibraryPath(std::move(libraryPath)),
      BaseCatalog(std::move(baseCatalog)),
      PeerAddress(std::move(peerAddress)),
      PeerPort(std::move(peerPort)),
      ApplicationName(std::move(applicationName)),
      ModuleName(std::move(moduleName)),
      FilePrefix(std::move(filePrefix)) {}

TCustomLogProducer::~TCustomLogProducer() {
  TerminateAndWait();
}

void TCustomLogProducer::AddMessage(std::string_view /*text*/, TDateTime /*clientTime*/,
                                    TDateTime /*serverTime*/) {}

#include "logging/tLogProducerHolder.h"

#include <algorithm>
#include <utility>

#include "logging/uProvidersSection.h"

namespace {

// Keys of file entries and sender names match without regard to ASCII letter case; other bytes
// match exactly.
void FoldCase(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
}

void Append(std::string& out, std::initializer_list<std::string_view> parts) {
  for (const std::string_view part : parts) {
    out.append(part);
  }
}

// True when text is the parts joined, byte for byte; nothing is built.
bool EqualsJoined(std::string_view text, std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (const std::string_view part : parts) {
    size += part.size();
  }
  if (size != text.size()) {
    return false;
  }
  for (const std::string_view part : parts) {
    if (text.substr(0, part.size()) != part) {
      return false;
    }
    text.remove_prefix(part.size());
  }
  return true;
}

TLogFileTableOptions FileTableOptions(const TLogProducerHolderOptions& options,
                                      tLogForwarderSet& forwarders) {
  TLogFileTableOptions table;
  // Lines written before the pass ends: the journals get the pass's records first.
  table.BeforeEarlyWrite = [&forwarders] { forwarders.WriteHeldSoFar(); };
  table.MaxOpenFiles = options.MaxOpenFiles;
  table.ReportIntervalMs = options.DropReportIntervalMs;
  table.Ticks = options.Ticks;
  table.FileSystem = options.FileSystem;
  return table;
}

TLogForwarderLimits ForwarderLimits(const TLogProducerHolderOptions& options) {
  TLogForwarderLimits limits = options.ForwarderLimits;
  limits.PluginIsolation = options.PluginIsolation;
  limits.PluginHost = options.PluginHost;
  return limits;
}

}  // namespace

tLogProducerHolder::tLogProducerHolder(std::string baseCatalog, const std::string& configPath,
                                       TLogProducerHolderOptions options)
    : BaseCatalog(std::move(baseCatalog)),
      FOptions(std::move(options)),
      FFileTable(FileTableOptions(FOptions, FForwarders)),
      FForwarders(configPath, ForwarderLimits(FOptions), FOptions.Report) {
  FMasks = FOptions.Masks ? FOptions.Masks : std::make_shared<const TFileLogMasks>();
  for (TProviderEntry& entry : ReadProvidersSection(configPath)) {
    const std::optional<TProviderKeyFields> fields = SplitProviderKey(entry.Key);
    if (!fields) {
      continue;
    }
    std::unique_ptr<TPluginProducer> producer;
    if (FOptions.PluginIsolation) {
      producer = std::make_unique<TIsolatedLogProducer>(
          std::string(), fields->Host, fields->Port, fields->ApplicationName, fields->ModuleName,
          fields->FilePrefix, std::move(entry.LibraryPath), FOptions.PluginHost);
    } else {
      producer = std::make_unique<TExternalLogProducer>(
          std::string(), fields->Host, fields->Port, fields->ApplicationName, fields->ModuleName,
          fields->FilePrefix, std::move(entry.LibraryPath));
    }
    if (!producer->LoadProblem().empty() && FOptions.Report) {
      FOptions.Report("FAIL while load plug-in \"" + producer->LibraryPath +
                      "\": " + producer->LoadProblem());
    }
    FPluginsByKey[entry.Key].push_back(producer.get());
    FPlugins.push_back({std::move(entry.Key), std::move(producer)});
  }
}

tLogProducerHolder::~tLogProducerHolder() {
  ReleaseAll();
}

void tLogProducerHolder::RouteRecord(std::string_view peerAddress, std::string_view peerPort,
                                     std::string_view applicationName, std::string_view moduleName,
                                     std::string_view filePrefix, std::string_view text,
                                     TDateTime clientTime) {
  // Without a stamp of its own in the line, nor a plug-in or forwarder to see the time, a record
  // in a pass needs the time only for its hour file (see HoldLines).
  const bool passTimeServes =
      FInPass && clientTime == 0 && FPluginsByKey.empty() && FForwarders.Count() == 0;
  TDateTime serverTime = FPassTime;
  if (!passTimeServes) {
    serverTime = FOptions.Clock();
    // The pass's time never falls behind a clock read in the pass: a later stampless record
    // must not go to an earlier hour file than the stamped one before it.
    if (FInPass) {
      FPassTime = std::max(FPassTime, serverTime);
    }
  }
  FForwarders.Offer(peerAddress, peerPort, applicationName, moduleName, filePrefix, text,
                    clientTime, serverTime);
  bool taken = false;
  // File keys begin with "*", so without plug-ins only an address beginning with "*" could
  // build a K1 to K3 that equals a key.
  if (!FPluginsByKey.empty() || peerAddress.starts_with('*')) {
    FKey.clear();
    Append(FKey,
           {peerAddress, ":", peerPort, "|", applicationName, "|", moduleName, "|", filePrefix});
    taken |= Offer(FKey, text, clientTime, serverTime);
    FKey.clear();
    Append(FKey, {peerAddress, "|", applicationName, "|", moduleName, "|", filePrefix});
    taken |= Offer(FKey, text, clientTime, serverTime);
    FKey.clear();
    Append(FKey, {peerAddress, "|", applicationName, "|", moduleName, "|"});
    taken |= Offer(FKey, text, clientTime, serverTime);
  }
  if (taken) {
    return;
  }
  const TFileList::iterator entry =
      FindOrCreateFileEntry(peerAddress, peerPort, applicationName, moduleName, filePrefix);
  Touch(entry);
  entry->Producer->AddMessage(text, clientTime, serverTime);
}

bool tLogProducerHolder::Offer(const std::string& key, std::string_view text, TDateTime clientTime,
                               TDateTime serverTime) {
  bool taken = false;
  if (const auto plugins = FPluginsByKey.find(key); plugins != FPluginsByKey.end()) {
    for (TPluginProducer* producer : plugins->second) {
      producer->AddMessage(text, clientTime, serverTime);
    }
    taken = true;
  }
  // Plug-in entries all precede the file entries.
  if (key.starts_with('*')) {
    FFoldedKey = key;
    FoldCase(FFoldedKey);
    const auto [first, last] = FFilesByKey.equal_range(FFoldedKey);
    for (auto file = first; file != last; ++file) {
      if (file->second->Key == key) {
        Touch(file->second);
        file->second->Producer->AddMessage(text, clientTime, serverTime);
        taken = true;
      }
    }
  }
  return taken;
}

tLogProducerHolder::TFileList::iterator tLogProducerHolder::FindOrCreateFileEntry(
    std::string_view peerAddress, std::string_view peerPort, std::string_view applicationName,
    std::string_view moduleName, std::string_view filePrefix) {
  const std::array<std::size_t, 4> sizes = {peerAddress.size(), peerPort.size(),
                                            applicationName.size(), moduleName.size()};
  // The same key exactly, cut into fields of the same sizes, is the same entry.
  if (FLastEntryKnown && FLastEntry->FieldSizes == sizes &&
      EqualsJoined(FLastEntry->Key, {"*", peerAddress, ":", peerPort, "=", applicationName, "|",
                                     moduleName, "|", filePrefix})) {
    return FLastEntry;
  }
  FKey.clear();
  Append(FKey,
         {"*", peerAddress, ":", peerPort, "=", applicationName, "|", moduleName, "|", filePrefix});
  FFoldedKey = FKey;
  FoldCase(FFoldedKey);
  const auto [first, last] = FFilesByKey.equal_range(FFoldedKey);
  for (auto found = first; found != last; ++found) {
    if (found->second->FieldSizes == sizes) {
      FLastEntry = found->second;
      FLastEntryKnown = true;
      return found->second;
    }
  }

  if (FOptions.MaxFileProducers > 0) {
    while (FFiles.size() >= FOptions.MaxFileProducers) {
      ReleaseFileEntry(FFiles.begin());
    }
  }
  // Made whole before it joins the list, so that a failure leaves no half-made entry behind.
  TFileEntry made;
  made.Key = FKey;
  made.FoldedKey = FFoldedKey;
  made.FoldedPeer = FFoldedKey.substr(0, 1 + peerAddress.size() + 1 + peerPort.size());
  made.FieldSizes = sizes;
  made.Sequence = FNextSequence++;
  made.Producer = std::make_unique<TFileLogProducer>(
      BaseCatalog, std::string(peerAddress), std::string(peerPort), std::string(applicationName),
      std::string(moduleName), std::string(filePrefix), std::string(), FMasks, &FFileTable,
      &FStamps);
  FFiles.push_back(std::move(made));
  const TFileList::iterator position = std::prev(FFiles.end());
  TFileEntry& entry = *position;
  try {
    FFilesByKey.emplace(entry.FoldedKey, position);
    TPeerList& peer = FFilesByPeer[entry.FoldedPeer];
    entry.PeerSlot = peer.insert(peer.end(), position);
  } catch (...) {
    EraseFromKeyMap(position);
    if (const auto peer = FFilesByPeer.find(entry.FoldedPeer);
        peer != FFilesByPeer.end() && peer->second.empty()) {
      FFilesByPeer.erase(peer);
    }
    FFiles.erase(position);
    throw;
  }
  FLastEntry = position;
  FLastEntryKnown = true;
  return position;
}

void tLogProducerHolder::EraseFromKeyMap(TFileList::iterator entry) noexcept {
  const auto [first, last] = FFilesByKey.equal_range(entry->FoldedKey);
  for (auto found = first; found != last; ++found) {
    if (found->second == entry) {
      FFilesByKey.erase(found);
      return;
    }
  }
}

void tLogProducerHolder::Touch(TFileList::iterator entry) {
  entry->LastUsed = FInPass ? FPassTicks : FOptions.Ticks();
  FFiles.splice(FFiles.end(), FFiles, entry);
}

void tLogProducerHolder::ReleaseFileEntry(TFileList::iterator entry) {
  FLastEntryKnown = false;
  entry->Producer->Stop();
  entry->Producer->WaitFor();
  entry->Producer.reset();
  EraseFromKeyMap(entry);
  const auto peer = FFilesByPeer.find(entry->FoldedPeer);
  peer->second.erase(entry->PeerSlot);
  if (peer->second.empty()) {
    FFilesByPeer.erase(peer);
  }
  FFiles.erase(entry);
}

void tLogProducerHolder::ReleasePeer(std::string_view peerAddress, std::string_view peerPort) {
  std::string name;
  Append(name, {"*", peerAddress, ":", peerPort});
  FoldCase(name);
  const auto peer = FFilesByPeer.find(name);
  if (peer == FFilesByPeer.end()) {
    return;
  }
  // Releasing the last entry removes the sender's list, so the entries are taken out first.
  const TPeerList entries = peer->second;
  for (const TFileList::iterator entry : entries) {
    ReleaseFileEntry(entry);
  }
}

void tLogProducerHolder::ReleaseIdle() {
  const std::uint32_t now = FOptions.Ticks();
  while (!FFiles.empty() &&
         static_cast<std::uint32_t>(now - FFiles.front().LastUsed) >= FOptions.IdleReleaseMs) {
    ReleaseFileEntry(FFiles.begin());
  }
}

std::size_t tLogProducerHolder::ReleaseAll(std::chrono::steady_clock::time_point deadline) {
  std::size_t lost = FForwarders.ReleaseAll(deadline, FOptions.Report);
  // All are asked at once, so that they deliver side by side until the one deadline.
  for (TPluginEntry& entry : FPlugins) {
    entry.Producer->StopDelivery(deadline);
  }
  for (TPluginEntry& entry : FPlugins) {
    const bool ended = entry.Producer->FinishDelivery(deadline, lost);
    // Its last lines (a host killed at the deadline) outlive it, for the next TakeDropReport.
    entry.Producer->TakeReport(FReleasedPluginReport);
    if (ended) {
      entry.Producer.reset();
    } else {
      // Its thread is still inside the plug-in and uses the producer: both are left to the end
      // of the process.
      (void)entry.Producer.release();
    }
  }
  FPlugins.clear();
  FPluginsByKey.clear();

  std::vector<TFileList::iterator> files;
  files.reserve(FFiles.size());
  for (auto entry = FFiles.begin(); entry != FFiles.end(); ++entry) {
    files.push_back(entry);
  }
  std::sort(files.begin(), files.end(),
            [](TFileList::iterator a, TFileList::iterator b) { return a->Sequence < b->Sequence; });
  for (const TFileList::iterator entry : files) {
    ReleaseFileEntry(entry);
  }
  return lost;
}

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

#include "logging/TExternalLogProducer.h"
#include "logging/TFileLogProducer.h"
#include "platform/uDateTime.h"

// What the holder takes from outside; the defaults are the server's.
struct TLogProducerHolderOptions {
  // The server's local time, taken once per record as its ServerTime.
  std::function<TDateTime()> Clock = LocalNow;
  // Milliseconds, wrapping at 2^32, for the idle release.
  std::function<std::uint32_t()> Ticks = GetTickCount32;
  // At most this many file producers live at once; the least recently used goes first. 0: no
  // bound.
  std::size_t MaxFileProducers = 4096;
  // ReleaseIdle() releases the file producers that got no record for this long.
  std::uint32_t IdleReleaseMs = 60'000;
  // The compiled masks of the file producers; null builds them from the process locale.
  std::shared_ptr<const TFileLogMasks> Masks;
};

// Owns every producer that stores received records and routes each record to them.
//
// Entries behave as one ordered list of (key, producer):
// - a plug-in entry for each valid line of the configuration's "Providers" section, in file
//   order, keyed by the line's key exactly as written;
// - a file entry per record stream, keyed "*address:port=application|module|prefix", created
//   for the first record of the stream that no plug-in entry takes.
//
// A record goes to every entry whose key equals, byte for byte, one of
//   K1 "address:port|application|module|prefix"
//   K2 "address|application|module|prefix"
//   K3 "address|application|module|"
// once per pass that matches (with an empty prefix K2 and K3 coincide, and such an entry gets the
// record twice). Only when no pass took it does it go to the file entry whose key equals
// "*address:port=application|module|prefix" without regard to ASCII letter case, created when
// missing. So a record reaches the plug-ins that claim it or one file, never both.
//
// File producers are released when their sender disconnects (ReleasePeer), when they got no
// record for a while (ReleaseIdle), or, beyond MaxFileProducers, least recently used first. A
// released stream's next record creates a new producer that appends to the same file.
//
// Lookups go through hash maps, so routing costs the same with 10 or 10,000 streams.
// Main loop thread only, every operation; no lock.
class tLogProducerHolder {
 public:
  // Reads the "Providers" section of configPath (missing file or section: no plug-ins) and
  // starts a plug-in producer for each line whose key splits into four fields.
  // Main loop thread only (it calls the plug-ins' LogProvider_Initialize).
  tLogProducerHolder(std::string baseCatalog, const std::string& configPath,
                     TLogProducerHolderOptions options = {});
  tLogProducerHolder(const tLogProducerHolder&) = delete;
  tLogProducerHolder& operator=(const tLogProducerHolder&) = delete;
  // ReleaseAll(). Main loop thread only.
  ~tLogProducerHolder();

  // Delivers one record (see the class comment). clientTime is the sender's stamp, 0 for none.
  // Main loop thread only.
  void RouteRecord(std::string_view peerAddress, std::string_view peerPort,
                   std::string_view applicationName, std::string_view moduleName,
                   std::string_view filePrefix, std::string_view text, TDateTime clientTime);

  // Stops and releases every file producer of one sender ("*address:port", without regard to
  // case), oldest first. Plug-in producers stay. Main loop thread only.
  void ReleasePeer(std::string_view peerAddress, std::string_view peerPort);

  // Stops and releases every file producer that got no record for IdleReleaseMs. Meant to be
  // called about once a second. Main loop thread only.
  void ReleaseIdle();

  // Stops and releases every producer: plug-ins in configuration order, then file producers in
  // the order of their creation. Main loop thread only.
  void ReleaseAll();

  // Main loop thread only.
  std::size_t PluginProducerCount() const { return FPlugins.size(); }
  std::size_t FileProducerCount() const { return FFiles.size(); }

  const std::string BaseCatalog;

 private:
  struct TPluginEntry {
    std::string Key;
    std::unique_ptr<TExternalLogProducer> Producer;
  };

  struct TFileEntry;
  // Least recently used first.
  using TFileList = std::list<TFileEntry>;
  // One sender's file entries, oldest first.
  using TPeerList = std::list<TFileList::iterator>;

  struct TFileEntry {
    std::string Key;        // as built for the stream's first record
    std::string FoldedKey;  // Key in ASCII lower case; FFilesByKey refers to it
    std::string FoldedPeer;
    std::uint64_t Sequence = 0;  // creation order
    std::uint32_t LastUsed = 0;  // ticks of the last record
    TPeerList::iterator PeerSlot;
    std::unique_ptr<TFileLogProducer> Producer;
  };

  // Hands the record to every entry whose key is exactly key. True when any took it.
  bool Offer(const std::string& key, std::string_view text, TDateTime clientTime,
             TDateTime serverTime);
  TFileList::iterator FindOrCreateFileEntry(std::string_view peerAddress, std::string_view peerPort,
                                            std::string_view applicationName,
                                            std::string_view moduleName,
                                            std::string_view filePrefix);
  void Touch(TFileList::iterator entry);
  void ReleaseFileEntry(TFileList::iterator entry);

  TLogProducerHolderOptions FOptions;
  std::shared_ptr<const TFileLogMasks> FMasks;

  // In configuration order; fixed from construction to ReleaseAll.
  std::vector<TPluginEntry> FPlugins;
  // Exact key => the plug-in producers filed under it, in configuration order.
  std::unordered_map<std::string, std::vector<TExternalLogProducer*>> FPluginsByKey;

  TFileList FFiles;
  // Folded key => its entry; the key text lives in the entry.
  std::unordered_map<std::string_view, TFileList::iterator> FFilesByKey;
  // Folded "*address:port" => the sender's entries.
  std::unordered_map<std::string, TPeerList> FFilesByPeer;
  std::uint64_t FNextSequence = 0;

  // Reused for building keys, so routing allocates nothing in the steady state.
  std::string FKey;
  std::string FFoldedKey;
};

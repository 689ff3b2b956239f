#pragma once

#include <array>
#include <chrono>
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
#include "logging/TIsolatedLogProducer.h"
#include "logging/TLogFileTable.h"
#include "logging/tLogForwarderSet.h"
#include "platform/uDateTime.h"

// What the holder takes from outside; the defaults are the server's.
struct TLogProducerHolderOptions {
  // The server's local time, taken once per record as its ServerTime.
  std::function<TDateTime()> Clock = LocalNow;
  // Milliseconds, wrapping at 2^32, for the idle release.
  std::function<std::uint32_t()> Ticks = GetTickCount32;
  // At most this many files of the log tree are open at once, however many producers share
  // them; opening one more closes the one written least recently (it opens again with its next
  // line). 0: no bound.
  std::size_t MaxOpenFiles = 4096;
  // At most this many file producers live at once, a bound on memory only (a producer holds no
  // file of its own); the least recently used goes first. 0: no bound.
  std::size_t MaxFileProducers = 65536;
  // ReleaseIdle() releases the file producers that got no record for this long; a file closes
  // when the last producer of its path is released.
  std::uint32_t IdleReleaseMs = 60'000;
  // Dropped lines are reported by TakeDropReport at most this often.
  std::uint32_t DropReportIntervalMs = 60'000;
  // The files of the log tree; null: the platform's. Tests give a failing one.
  std::shared_ptr<TLogFileSystem> FileSystem;
  // Receives one line for each plug-in or forwarder library that cannot be used (at
  // construction), and the forwarders' statistics lines (at ReleaseAll).
  std::function<void(const std::string&)> Report;
  // The bound of each forwarder's queue (section "Forward") and where their journals are; the
  // server takes JournalRoot from ForwardJournal.
  TLogForwarderLimits ForwarderLimits;
  // The compiled masks of the file producers; null builds them from the process locale.
  std::shared_ptr<const TFileLogMasks> Masks;
  // Each plug-in and forwarder library runs in a plug-in host process of its own
  // (TIsolatedLogProducer, TLogForwarder); false loads it into this process. The server takes it
  // from PluginIsolation (default 1).
  bool PluginIsolation = false;
  TPluginHostOptions PluginHost;
};

// Owns every producer that stores received records and routes each record to them.
//
// Entries behave as one ordered list of (key, producer):
// - a plug-in entry for each valid line of the configuration's "Providers" section, in file
//   order, keyed by the line's key exactly as written;
// - a file entry per record stream, keyed "*address:port=application|module|prefix", created
//   for the first record of the stream that no plug-in entry takes. The key alone does not tell
//   streams apart (application "a|b", module "c" against application "a", module "b|c"): an
//   entry belongs to the stream whose fields, each as a whole, are its own.
//
// A record goes to every entry whose key equals, byte for byte, one of
//   K1 "address:port|application|module|prefix"
//   K2 "address|application|module|prefix"
//   K3 "address|application|module|"
// once per pass that matches (with an empty prefix K2 and K3 coincide, and such an entry gets the
// record twice). Only when no pass took it does it go to the file entry whose key equals
// "*address:port=application|module|prefix" without regard to ASCII letter case and whose fields
// have the record's lengths, created when missing. So a record reaches the plug-ins that claim it
// or one file, never both.
//
// File producers are released when their sender disconnects (ReleasePeer), when they got no
// record for a while (ReleaseIdle), or, beyond MaxFileProducers, least recently used first. A
// released stream's next record creates a new producer that appends to the same file. The
// producers of one path share one open file (see TLogFileTable), so many senders of one host
// hold one descriptor, and lines that could not be stored are counted for TakeDropReport.
//
// A plug-in line whose library cannot be loaded or lacks LogProvider_AddMessage is reported
// once at construction through Report; its producer still takes (and drops) its records.
//
// Besides, every record is offered to each forwarder of the "Forward" section (tLogForwarderSet),
// whatever the routing above does with it.
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

  // Stops and releases every producer: forwarders (each logging its statistics through Report),
  // plug-ins in configuration order, then file producers in
  // the order of their creation. Each plug-in producer first delivers what it has queued, until
  // deadline; returns how many records the forwarders and plug-ins could not be given by then (a
  // plug-in that is still inside a call at the deadline is left running, its library loaded, and
  // that call's record is counted too). Main loop thread only.
  std::size_t ReleaseAll(std::chrono::steady_clock::time_point deadline =
                             std::chrono::steady_clock::time_point::max());

  // The diagnostic lines for lines dropped since the last report (see TLogFileTable), at most
  // once every DropReportIntervalMs unless force. Main loop thread only.
  // The plug-in producers' own lines (hosts that ended, skipped and dropped records) come
  // with every call.
  void TakeDropReport(std::vector<std::string>& lines, bool force = false) {
    FFileTable.TakeDropReport(lines, force);
    FForwarders.TakeDropReport(lines, FOptions.Ticks(), FOptions.DropReportIntervalMs, force);
    for (TPluginEntry& entry : FPlugins) {
      entry.Producer->TakeReport(lines);
    }
    for (std::string& line : FReleasedPluginReport) {
      lines.push_back(std::move(line));
    }
    FReleasedPluginReport.clear();
  }
  // Main loop thread only.
  const TLogFileTable& FileTable() const { return FFileTable; }

  // The main loop's pass over the events already queued: from HoldLines to WriteHeld the lines
  // of each file are collected and then written with one call per file (see TLogFileTable).
  // The forwarders' journals get the pass's records first, so a record in the files is in the
  // journals too.
  //
  // HoldLines also reads the clock and the ticks once for the pass. A record whose line shows no
  // time (no client stamp) and that goes to file producers only takes the pass's time as its
  // ServerTime, which then only chooses the hour file: the record was received before the pass
  // began, so it is filed under the hour in which it came. Records with a client stamp, records
  // for plug-ins and every record when forwarders are configured still read the clock each. The
  // pass's ticks mark the use of the file producers for ReleaseIdle. Main loop thread only.
  void HoldLines() {
    FPassTime = FOptions.Clock();
    FPassTicks = FOptions.Ticks();
    FInPass = true;
    FForwarders.HoldRecords();
    FFileTable.HoldLines();
  }
  void WriteHeld() {
    FInPass = false;
    FForwarders.WriteHeld();
    FFileTable.WriteHeld();
  }

  // Main loop thread only.
  std::size_t PluginProducerCount() const { return FPlugins.size(); }
  std::size_t FileProducerCount() const { return FFiles.size(); }
  std::size_t ForwarderCount() const { return FForwarders.Count(); }
  // One line per forwarder with its counts now (tLogForwarderSet::StatisticsLines). Main loop
  // thread only.
  void ForwarderStatistics(std::vector<std::string>& lines) const {
    FForwarders.StatisticsLines(lines);
  }

  const std::string BaseCatalog;

 private:
  struct TPluginEntry {
    std::string Key;
    std::unique_ptr<TPluginProducer> Producer;
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
    // The lengths of the fields but the last (the prefix): with the key they tell the stream.
    std::array<std::size_t, 4> FieldSizes{};
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
  // Takes entry out of FFilesByKey, leaving other entries of the same key.
  void EraseFromKeyMap(TFileList::iterator entry) noexcept;
  void Touch(TFileList::iterator entry);
  void ReleaseFileEntry(TFileList::iterator entry);

  TLogProducerHolderOptions FOptions;
  std::shared_ptr<const TFileLogMasks> FMasks;
  // Declared before the producers, whose files it holds.
  TLogFileTable FFileTable;
  // The line stamps of every file producer (all of them use FMasks).
  TLineStamps FStamps;

  // In configuration order; fixed from construction to ReleaseAll.
  std::vector<TPluginEntry> FPlugins;
  // Exact key => the plug-in producers filed under it, in configuration order.
  std::unordered_map<std::string, std::vector<TPluginProducer*>> FPluginsByKey;

  TFileList FFiles;
  // Folded key => its entries (several when streams' keys coincide); the key text lives in the
  // entry.
  std::unordered_multimap<std::string_view, TFileList::iterator> FFilesByKey;
  // Folded "*address:port" => the sender's entries.
  std::unordered_map<std::string, TPeerList> FFilesByPeer;
  std::uint64_t FNextSequence = 0;

  // The plug-in producers' lines taken as ReleaseAll released them.
  std::vector<std::string> FReleasedPluginReport;

  // Offered every record; released in ReleaseAll before the plug-ins.
  tLogForwarderSet FForwarders;

  // Reused for building keys, so routing allocates nothing in the steady state.
  std::string FKey;
  std::string FFoldedKey;
  // The entry the last record went to, so a run of records from one sender and stream finds it
  // with one comparison of its key against the record's fields; forgotten whenever an entry goes.
  TFileList::iterator FLastEntry;
  bool FLastEntryKnown = false;
  // From HoldLines to WriteHeld: the pass's clock and ticks (see HoldLines).
  bool FInPass = false;
  TDateTime FPassTime = 0;
  std::uint32_t FPassTicks = 0;
};

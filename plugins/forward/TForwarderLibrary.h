#pragma once

#include <atomic>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "logging/uLogServerInterface.h"
#include "plugins/forward/uForwardRecord.h"
#include "plugins/forward/uForwardSettings.h"

// What the exports of a forwarder library do, whatever engine it feeds. The interface passes no
// handle, so a library has one forwarder, kept in one TForwarderLibrary that the library's exports
// reach through a function-local static.
//
// TForwarder is built from the settings path and a report function, and has AddRecord, Stop and
// Statistics (TKafkaForwarder, TNatsJetStreamForwarder). Problems go to standard error, one line
// each, prefixed with the library's name.
template <typename TForwarder>
class TForwarderLibrary {
 public:
  // name prefixes the library's lines; afterStop runs once the forwarder has been destroyed at
  // Finalize (to end the engine library's own threads, say).
  explicit TForwarderLibrary(const char* name, std::function<void()> afterStop = {})
      : FName(name), FAfterStop(std::move(afterStop)) {}

  // LogProvider_Initialize: starts the forwarder with the settings file beside the library that
  // holds addressInLibrary. A second call while one runs does nothing.
  void Initialize(const void* addressInLibrary) {
    std::lock_guard lock(FLock);
    if (FForwarder) {
      return;
    }
    try {
      FForwarder = std::make_unique<TForwarder>(ForwarderSettingsPath(addressInLibrary),
                                                [this](const std::string& line) { Report(line); });
    } catch (const std::exception& e) {
      Report(std::string("cannot start: ") + e.what());
    }
    std::lock_guard counts(FCountsLock);
    FCounted = FForwarder.get();
  }

  // LogProvider_AddRecord. One caller at a time (the server's forwarder thread); the lock only
  // keeps Initialize and Finalize out.
  void AddRecord(double clientTime, double serverTime, const char* peerAddress,
                 unsigned short peerPort, const char* application, const char* module,
                 const char* prefix, const char* text) {
    TForwardRecord record;
    record.ClientTime = clientTime;
    record.ServerTime = serverTime;
    record.PeerAddress = peerAddress;
    record.PeerPort = peerPort;
    record.Application = application;
    record.Module = module;
    record.Prefix = prefix;
    record.Text = text;
    std::lock_guard lock(FLock);
    if (FForwarder) {
      FForwarder->AddRecord(record);
    } else {
      FDropped.fetch_add(1, std::memory_order_relaxed);
    }
  }

  // LogProvider_Finalize: stops the forwarder (it flushes up to its time-out and keeps the rest in
  // its spool); its counts stay readable.
  void Finalize() {
    std::unique_ptr<TForwarder> forwarder;
    {
      std::lock_guard lock(FLock);
      forwarder = std::move(FForwarder);
    }
    if (!forwarder) {
      return;
    }
    // Statistics still reads the stopping forwarder, whose counts are safe to read at any time.
    forwarder->Stop();
    {
      std::lock_guard counts(FCountsLock);
      FFinal = forwarder->Statistics();
      FCounted = nullptr;
    }
    forwarder.reset();
    if (FAfterStop) {
      FAfterStop();
    }
  }

  // LogProvider_Statistics: the running forwarder's counts now, or the last one's after Finalize,
  // with the records offered while none ran counted as dropped. Any thread, at any time: it never
  // waits for AddRecord or for a stop in progress, so a statistics request while records flow
  // costs the caller only the forwarder's short count reads.
  void Statistics(TLogProviderStatistics* counts) {
    if (counts == nullptr) {
      return;
    }
    {
      std::lock_guard lock(FCountsLock);
      *counts = FCounted != nullptr ? FCounted->Statistics() : FFinal;
    }
    counts->dropped += FDropped.load(std::memory_order_relaxed);
  }

 private:
  void Report(const std::string& line) const {
    std::fprintf(stderr, "%s: %s\n", FName, line.c_str());
    std::fflush(stderr);
  }

  const char* const FName;
  const std::function<void()> FAfterStop;
  std::mutex FLock;  // guards FForwarder
  std::unique_ptr<TForwarder> FForwarder;
  // Taken after FLock (Initialize), never before it; Statistics takes only this one.
  std::mutex FCountsLock;          // guards FCounted and FFinal
  TForwarder* FCounted = nullptr;  // the forwarder Statistics reads, from start to Finalize
  TLogProviderStatistics FFinal{};
  std::atomic<unsigned long long> FDropped{0};
};

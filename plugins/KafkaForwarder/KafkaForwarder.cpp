// The Kafka forwarder: a library for the "Forward" section of LogServer.conf.
//
//   [Forward]
//   Kafka=/opt/kelvra/plugins/KafkaForwarder.so
//
// Its settings are read from KafkaForwarder.conf beside the library (see the README, "Scaling
// out"). Problems go to standard error, one line each, prefixed with the library's name.

#include <cstdio>
#include <memory>
#include <mutex>

#include "logging/uLogServerInterface.h"
#include "plugins/KafkaForwarder/TKafkaForwarder.h"

namespace {

// The interface passes no handle, so the library's one forwarder is a global of the library.
struct TLibrary {
  std::mutex Lock;  // guards Forwarder, Final and Dropped
  std::unique_ptr<TKafkaForwarder> Forwarder;
  // The counts of the last forwarder, readable after Finalize.
  TLogProviderStatistics Final{};
  // Records offered while no forwarder ran.
  unsigned long long Dropped = 0;
};

TLibrary& Library() {
  static TLibrary library;
  return library;
}

void Report(const std::string& line) {
  std::fprintf(stderr, "KafkaForwarder: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace

extern "C" {

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Initialize(const char*, const char*,
                                                                const char*, const char*,
                                                                const char*, const char*) {
  TLibrary& library = Library();
  std::lock_guard lock(library.Lock);
  if (library.Forwarder) {
    return;
  }
  const std::string path =
      ForwarderSettingsPath(reinterpret_cast<const void*>(&LogProvider_Initialize));
  try {
    library.Forwarder = std::make_unique<TKafkaForwarder>(path, &Report);
  } catch (const std::exception& e) {
    Report(std::string("cannot start: ") + e.what());
  }
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddRecord(
    double clientTime, double serverTime, const char* peerAddress, unsigned short peerPort,
    const char* application, const char* module, const char* prefix, const char* text) {
  TForwardRecord record;
  record.ClientTime = clientTime;
  record.ServerTime = serverTime;
  record.PeerAddress = peerAddress;
  record.PeerPort = peerPort;
  record.Application = application;
  record.Module = module;
  record.Prefix = prefix;
  record.Text = text;
  TLibrary& library = Library();
  // One caller at a time (the server's forwarder thread); the lock only keeps Finalize out.
  std::lock_guard lock(library.Lock);
  if (library.Forwarder) {
    library.Forwarder->AddRecord(record);
  } else {
    ++library.Dropped;
  }
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Finalize(void) {
  TLibrary& library = Library();
  std::unique_ptr<TKafkaForwarder> forwarder;
  {
    std::lock_guard lock(library.Lock);
    forwarder = std::move(library.Forwarder);
  }
  if (!forwarder) {
    return;
  }
  forwarder->Stop();
  const TLogProviderStatistics counts = forwarder->Statistics();
  forwarder.reset();
  std::lock_guard lock(library.Lock);
  library.Final = counts;
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Statistics(TLogProviderStatistics* counts) {
  if (counts == nullptr) {
    return;
  }
  TLibrary& library = Library();
  std::lock_guard lock(library.Lock);
  *counts = library.Forwarder ? library.Forwarder->Statistics() : library.Final;
  counts->dropped += library.Dropped;
}

}  // extern "C"

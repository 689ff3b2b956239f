// The NATS JetStream forwarder: a library for the "Forward" section of LogServer.conf.
//
//   [Forward]
//   Nats=/opt/kelvra/plugins/NatsJetStreamForwarder.so
//
// Its settings are read from NatsJetStreamForwarder.conf beside the library (see the README,
// "Scaling out"). Problems go to standard error, one line each, prefixed with the library's name.

#include "logging/uLogServerInterface.h"
#include "plugins/NatsJetStreamForwarder/TNatsJetStreamForwarder.h"
#include "plugins/forward/TForwarderLibrary.h"

namespace {

TForwarderLibrary<TNatsJetStreamForwarder>& Library() {
  // The NATS library's own threads end after the forwarder, so that the server may unload this
  // library (and with it the NATS library) safely after Finalize.
  static TForwarderLibrary<TNatsJetStreamForwarder> library("NatsJetStreamForwarder",
                                                            [] { nats_CloseAndWait(5000); });
  return library;
}

}  // namespace

extern "C" {

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Initialize(const char*, const char*,
                                                                const char*, const char*,
                                                                const char*, const char*) {
  Library().Initialize(reinterpret_cast<const void*>(&LogProvider_Initialize));
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddRecord(
    double clientTime, double serverTime, const char* peerAddress, unsigned short peerPort,
    const char* application, const char* module, const char* prefix, const char* text) {
  Library().AddRecord(clientTime, serverTime, peerAddress, peerPort, application, module, prefix,
                      text);
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Finalize(void) {
  Library().Finalize();
}

LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Statistics(TLogProviderStatistics* counts) {
  Library().Statistics(counts);
}

}  // extern "C"

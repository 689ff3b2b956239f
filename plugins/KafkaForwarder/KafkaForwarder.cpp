// The Kafka forwarder: a library for the "Forward" section of LogServer.conf.
//
//   [Forward]
//   Kafka=/opt/kelvra/plugins/KafkaForwarder.so
//
// Its settings are read from KafkaForwarder.conf beside the library (see the README,
// "Scaling out"). Problems go to standard error, one line each, prefixed with the library's name.

#include "logging/uLogServerInterface.h"
#include "plugins/KafkaForwarder/TKafkaForwarder.h"
#include "plugins/forward/TForwarderLibrary.h"

namespace {

TForwarderLibrary<TKafkaForwarder>& Library() {
  static TForwarderLibrary<TKafkaForwarder> library("KafkaForwarder");
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

/* A test plug-in in C that lacks some exports, built twice:
 * PARTIAL_WITHOUT_ADD_MESSAGE: only LogProvider_Initialize and LogProvider_Finalize;
 * PARTIAL_WITHOUT_INITIALIZE: only LogProvider_AddMessage.
 * Partial_Count tells the tests how often each export was called. */

#include <stdatomic.h>
#include <string.h>

#include "logging/uLogServerInterface.h"

static atomic_int InitializeCalls;
static atomic_int AddMessageCalls;
static atomic_int FinalizeCalls;

#ifndef PARTIAL_WITHOUT_INITIALIZE
void LOGPROVIDER_CALL LogProvider_Initialize(const char* baseCatalog, const char* peerAddress,
                                             const char* peerPort, const char* applicationName,
                                             const char* moduleName, const char* filePrefix) {
  (void)baseCatalog;
  (void)peerAddress;
  (void)peerPort;
  (void)applicationName;
  (void)moduleName;
  (void)filePrefix;
  atomic_fetch_add(&InitializeCalls, 1);
}

void LOGPROVIDER_CALL LogProvider_Finalize(void) {
  atomic_fetch_add(&FinalizeCalls, 1);
}
#endif

#ifndef PARTIAL_WITHOUT_ADD_MESSAGE
void LOGPROVIDER_CALL LogProvider_AddMessage(double clientTime, double serverTime,
                                             const char* text) {
  (void)clientTime;
  (void)serverTime;
  (void)text;
  atomic_fetch_add(&AddMessageCalls, 1);
}
#endif

LOGPROVIDER_EXPORT int Partial_Count(const char* name) {
  if (strcmp(name, "Initialize") == 0) {
    return atomic_load(&InitializeCalls);
  }
  if (strcmp(name, "AddMessage") == 0) {
    return atomic_load(&AddMessageCalls);
  }
  if (strcmp(name, "Finalize") == 0) {
    return atomic_load(&FinalizeCalls);
  }
  return -1;
}

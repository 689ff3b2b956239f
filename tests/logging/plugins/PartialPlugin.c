/* A test plug-in in C that lacks some exports, built twice:
 * PARTIAL_WITHOUT_ADD_MESSAGE: only LogProvider_Initialize and LogProvider_Finalize;
 * PARTIAL_WITHOUT_INITIALIZE: only LogProvider_AddMessage;
 * with PARTIAL_FORWARDER too: only LogProvider_AddRecord, a forwarder that counts (the
 * benchmark's). Partial_Count tells the tests how often each export was called. In a plug-in host,
 * where the tests cannot call it, each call also appends its name as a line to the file named by
 * the environment variable KELVRA_RECORDING_FILE, if set. */

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "logging/uLogServerInterface.h"

static atomic_int InitializeCalls;
static atomic_int AddMessageCalls;
static atomic_int FinalizeCalls;

static void Record(const char* name) {
  const char* path = getenv("KELVRA_RECORDING_FILE");
  if (path != NULL && path[0] != '\0') {
    FILE* file = fopen(path, "ab");
    if (file != NULL) {
      fprintf(file, "%s\n", name);
      fclose(file);
    }
  }
}

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
  Record("Initialize");
}

void LOGPROVIDER_CALL LogProvider_Finalize(void) {
  atomic_fetch_add(&FinalizeCalls, 1);
  Record("Finalize");
}
#endif

#ifdef PARTIAL_FORWARDER
void LOGPROVIDER_CALL LogProvider_AddRecord(double clientTime, double serverTime,
                                            const char* peerAddress, unsigned short peerPort,
                                            const char* application, const char* module,
                                            const char* prefix, const char* text) {
  (void)clientTime;
  (void)serverTime;
  (void)peerAddress;
  (void)peerPort;
  (void)application;
  (void)module;
  (void)prefix;
  (void)text;
  atomic_fetch_add(&AddMessageCalls, 1);
  Record("AddRecord");
}
#elif !defined(PARTIAL_WITHOUT_ADD_MESSAGE)
void LOGPROVIDER_CALL LogProvider_AddMessage(double clientTime, double serverTime,
                                             const char* text) {
  (void)clientTime;
  (void)serverTime;
  (void)text;
  atomic_fetch_add(&AddMessageCalls, 1);
  Record("AddMessage");
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

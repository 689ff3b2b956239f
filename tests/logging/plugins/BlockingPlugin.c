/* A test plug-in in C whose LogProvider_AddMessage never returns, for the stop time-out of the
 * server: its first call sleeps for good, one second at a time. */

#include <time.h>

#include "logging/uLogServerInterface.h"

void LOGPROVIDER_CALL LogProvider_Initialize(const char* baseCatalog, const char* peerAddress,
                                             const char* peerPort, const char* applicationName,
                                             const char* moduleName, const char* filePrefix) {
  (void)baseCatalog;
  (void)peerAddress;
  (void)peerPort;
  (void)applicationName;
  (void)moduleName;
  (void)filePrefix;
}

void LOGPROVIDER_CALL LogProvider_AddMessage(double clientTime, double serverTime,
                                             const char* text) {
  (void)clientTime;
  (void)serverTime;
  (void)text;
  const struct timespec second = {1, 0};
  for (;;) {
    nanosleep(&second, NULL);
  }
}

void LOGPROVIDER_CALL LogProvider_Finalize(void) {}

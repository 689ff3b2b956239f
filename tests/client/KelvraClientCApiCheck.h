#pragma once

#include <stdint.h>

// The C API driven from C (KelvraClientCApiCheck.c); each returns 0 when every step went as
// expected, or the number of the first step that did not.
#ifdef __cplusplus
extern "C" {
#endif

// Sends records to the server at 127.0.0.1:port: "c one" and "c two" without time stamps as
// application "CApi", module "M", prefix "p", and one text with a NUL byte ("nul\0byte").
int KelvraCApiSendRecords(uint16_t port);
// Opens a client for a port where nothing listens and a host that does not exist, and
// passes null pointers and bad options.
int KelvraCApiRefusals(uint16_t freePort);

#ifdef __cplusplus
}
#endif

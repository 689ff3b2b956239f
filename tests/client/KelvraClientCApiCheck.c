/* Compiled as C: the header must be plain C, and these calls are what a C program writes. */
#include "tests/client/KelvraClientCApiCheck.h"

#include <string.h>

#include "client/KelvraClient.h"

int KelvraCApiSendRecords(uint16_t port) {
  kelvra_options options;
  kelvra_client* client = NULL;
  kelvra_counters counters;
  int code = -1;
  static const char nulText[] = "nul\0byte";
  char tooLong[KELVRA_MAX_RECORD_TEXT_BYTES + 1];

  kelvra_options_init(&options);
  if (options.buffer_size != 8u * 1024u * 1024u || options.full_policy != KELVRA_FULL_WAIT) {
    return 1;
  }
  if (kelvra_open("127.0.0.1", port, &options, &client, &code) != KELVRA_OK || client == NULL ||
      code != 0) {
    return 2;
  }
  if (kelvra_send_record(client, "CApi", "M", "p", "c one", 5, 0.0) != KELVRA_OK) {
    return 3;
  }
  if (kelvra_send_record(client, "CApi", "M", "p", "c two", 5, 0.0) != KELVRA_OK) {
    return 4;
  }
  if (kelvra_send_record(client, "CApi", "M", NULL, nulText, sizeof nulText - 1, 0.0) !=
      KELVRA_OK) {
    return 5;
  }
  memset(tooLong, 'x', sizeof tooLong);
  if (kelvra_send_record(client, "", "", "", tooLong, sizeof tooLong, 0.0) !=
      KELVRA_RECORD_TOO_LARGE) {
    return 6;
  }
  if (kelvra_send(client, "CApi", NULL, "", "no module") != KELVRA_INVALID_ARGUMENT) {
    return 7;
  }
  if (kelvra_flush(client, 10000) != KELVRA_OK) {
    return 8;
  }
  if (kelvra_get_counters(client, &counters) != KELVRA_OK || counters.sent != 3 ||
      counters.dropped != 0) {
    return 9;
  }
  if (kelvra_close(client, 10000) != KELVRA_OK) {
    return 10;
  }
  return 0;
}

int KelvraCApiRefusals(uint16_t freePort) {
  kelvra_options options;
  kelvra_client* client = NULL;
  int code = 0;

  if (kelvra_open("127.0.0.1", freePort, NULL, &client, &code) != KELVRA_CONNECT_FAILED ||
      client != NULL || code == 0) {
    return 1;
  }
  code = 0;
  if (kelvra_open("no-such-host.invalid", freePort, NULL, &client, &code) !=
          KELVRA_HOST_NOT_FOUND ||
      code == 0) {
    return 2;
  }
  if (kelvra_open(NULL, freePort, NULL, &client, &code) != KELVRA_INVALID_ARGUMENT) {
    return 3;
  }
  kelvra_options_init(&options);
  options.full_policy = 7;
  if (kelvra_open("127.0.0.1", freePort, &options, &client, &code) != KELVRA_INVALID_ARGUMENT) {
    return 4;
  }
  if (kelvra_send(NULL, "a", "m", "p", "t") != KELVRA_INVALID_ARGUMENT ||
      kelvra_close(NULL, 0) != KELVRA_INVALID_ARGUMENT) {
    return 5;
  }
  if (strcmp(kelvra_status_text(KELVRA_RECORD_TOO_LARGE), "record too large for one frame") != 0) {
    return 6;
  }
  return 0;
}

/* The C API of the Kelvra Log Server client library (kelvra_client), for C and for anything
 * that calls C: C# P/Invoke, Go cgo, Python ctypes.
 *
 * A client holds one TCP connection to the server's record port. kelvra_send puts a record
 * into a bounded in-memory buffer and returns; one background thread per client writes the
 * buffer, reads and discards the server's probe frames and reconnects (capped exponential
 * back-off) when the connection breaks. kelvra_close writes what is buffered, shuts the
 * connection down for writing and reads until the server closes it, so no record is lost to a
 * reset connection. kelvra_send may be called from many threads; the records of one client
 * keep the order of the calls.
 *
 *   kelvra_client* client = NULL;
 *   int code = 0;
 *   if (kelvra_open("127.0.0.1", 30000, NULL, &client, &code) == KELVRA_OK) {
 *     kelvra_send(client, "Billing", "Core", "", "invoice 42 paid");
 *     kelvra_close(client, 5000);
 *   }
 *
 * Texts are byte strings taken as they are (no character set conversion). */
#ifndef KELVRA_CLIENT_H
#define KELVRA_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum kelvra_status {
  KELVRA_OK = 0,
  KELVRA_INVALID_ARGUMENT = 1, /* a null pointer, a bad option */
  KELVRA_HOST_NOT_FOUND = 2,   /* the host name cannot be resolved (resolver's code given) */
  KELVRA_CONNECT_FAILED = 3,   /* refused, unreachable or timed out (platform's code given) */
  KELVRA_RECORD_TOO_LARGE = 4, /* the texts together exceed KELVRA_MAX_RECORD_TEXT_BYTES */
  KELVRA_BUFFER_FULL = 5,      /* no room (drop policy): the record is dropped and counted */
  KELVRA_TIMED_OUT = 6,        /* flush or close did not finish in time */
  KELVRA_CLOSED = 7            /* the client is closing */
} kelvra_status;

/* The four texts of one record together may have at most this many bytes. */
#define KELVRA_MAX_RECORD_TEXT_BYTES 65486

typedef enum kelvra_full_policy {
  KELVRA_FULL_WAIT = 0, /* kelvra_send waits for room */
  KELVRA_FULL_DROP = 1  /* kelvra_send drops the record and returns KELVRA_BUFFER_FULL */
} kelvra_full_policy;

typedef struct kelvra_options {
  size_t buffer_size;         /* bytes of framed records held at most; default 8 MiB */
  int full_policy;            /* a kelvra_full_policy; default KELVRA_FULL_WAIT */
  int cut_oversize_text;      /* non-zero: cut a too long text to fit, ending in "...[cut]" */
  int connect_timeout_ms;     /* per connection attempt; default 5000 */
  int reconnect_delay_ms;     /* first reconnection delay, doubled per failure; default 100 */
  int reconnect_delay_max_ms; /* the cap of that delay; default 10000 */
} kelvra_options;

typedef struct kelvra_counters {
  uint64_t sent;       /* records fully written to a connection */
  uint64_t dropped;    /* refused for want of room, or unsent when close gave up */
  uint64_t reconnects; /* connections made again after one broke */
  uint64_t cut;        /* records whose text was cut to fit */
  int last_error;      /* the platform's code of the last network failure; 0: none */
} kelvra_counters;

typedef struct kelvra_client kelvra_client;

/* Fills options with the defaults. */
void kelvra_options_init(kelvra_options* options);

/* Resolves host (a name or dotted IPv4 text) and connects; options may be NULL (defaults).
 * On success *client is the new client. On failure *client is NULL and *platform_error (when
 * not NULL) holds the resolver's or the socket's error code. */
kelvra_status kelvra_open(const char* host, uint16_t port, const kelvra_options* options,
                          kelvra_client** client, int* platform_error);

/* Queues one record stamped with the local time now; prefix may be NULL (empty). */
kelvra_status kelvra_send(kelvra_client* client, const char* application, const char* module,
                          const char* prefix, const char* text);

/* The same with a text of text_length bytes (it may hold NUL bytes) and the sender's time
 * stamp: an OLE Automation date in local time (days since 30 December 1899), 0 = none. */
kelvra_status kelvra_send_record(kelvra_client* client, const char* application, const char* module,
                                 const char* prefix, const char* text, size_t text_length,
                                 double client_time);

/* Waits until every record queued so far is written. KELVRA_OK or KELVRA_TIMED_OUT. */
kelvra_status kelvra_flush(kelvra_client* client, int timeout_ms);

/* Writes what is buffered, half-closes, reads until the server closes, within timeout_ms;
 * then releases the client in every case. KELVRA_OK when everything was written and the
 * server closed in time; KELVRA_TIMED_OUT otherwise (the unsent records count as dropped). */
kelvra_status kelvra_close(kelvra_client* client, int timeout_ms);

/* A snapshot of the client's counters. */
kelvra_status kelvra_get_counters(const kelvra_client* client, kelvra_counters* counters);

/* A short English description of a status. */
const char* kelvra_status_text(kelvra_status status);

#ifdef __cplusplus
}
#endif

#endif /* KELVRA_CLIENT_H */

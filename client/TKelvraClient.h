#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// A client of the Kelvra Log Server's TCP record port. Records go into a bounded in-memory
// buffer and one background thread writes them, so Send never waits for the network; the
// thread reads and discards the server's probe frames, reconnects with a capped exponential
// back-off after the connection breaks, and Close ends the connection so that the server has
// read every record before the socket goes (never with a reset).
//
//   auto client = TKelvraClient::Open("127.0.0.1", 30000, {}, status, code);
//   client->Send("Billing", "Core", "", "invoice 42 paid");
//   client->Close(5000);

// The values are those of the C API's kelvra_status (client/KelvraClient.h).
enum class TKelvraStatus : int {
  Ok = 0,
  InvalidArgument = 1,  // a null text, a bad option
  HostNotFound = 2,     // the host name cannot be resolved; the resolver's code is given
  ConnectFailed = 3,    // refused, unreachable or timed out; the platform's code is given
  RecordTooLarge = 4,   // the texts do not fit one frame (more than 65486 bytes together)
  BufferFull = 5,       // the buffer had no room (drop policy): the record is dropped, counted
  TimedOut = 6,         // Flush or Close did not finish in time
  Closed = 7,           // the client is closing or closed
};

// A short English description: TKelvraStatus::RecordTooLarge => "record too large for one frame".
const char* KelvraStatusText(TKelvraStatus status);

enum class TKelvraFullPolicy : int {
  Wait = 0,  // Send waits for room
  Drop = 1,  // Send drops the record, counts it and returns BufferFull
};

struct TKelvraClientOptions {
  // Bytes of framed records held at most (raised to one largest frame, 65535).
  std::size_t BufferSize = 8 * 1024 * 1024;
  TKelvraFullPolicy FullPolicy = TKelvraFullPolicy::Wait;
  // A record too large for one frame has its text cut to fit and ending in KelvraCutMark,
  // instead of being refused. Application, module and prefix are never cut.
  bool CutOversizeText = false;
  // For each connection attempt.
  int ConnectTimeoutMs = 5000;
  // The delay before the first reconnection attempt, doubled after every failed attempt up to
  // the cap, and reset once connected.
  int ReconnectDelayMs = 100;
  int ReconnectDelayMaxMs = 10000;
};

// The end of a text that was cut to fit one frame.
inline constexpr std::string_view KelvraCutMark = "...[cut]";

struct TKelvraClientCounters {
  std::uint64_t Sent = 0;        // records fully written to a connection
  std::uint64_t Dropped = 0;     // refused for want of room, or still unsent when Close gave up
  std::uint64_t Reconnects = 0;  // connections made again after one broke
  std::uint64_t Cut = 0;         // records whose text was cut to fit
  int LastError = 0;             // the platform's code of the last network failure; 0: none
};

class TClientWriter;
class TRecordBuffer;
class TSocketSignal;
struct tClientCounterSet;

class TKelvraClient {
 public:
  // Resolves host (a name or dotted IPv4 text) and connects. Null on failure, with status
  // HostNotFound (platformError: the resolver's code), ConnectFailed (the socket error code)
  // or InvalidArgument.
  static std::unique_ptr<TKelvraClient> Open(const std::string& host, std::uint16_t port,
                                             const TKelvraClientOptions& options,
                                             TKelvraStatus& status, int& platformError);
  // Closes within 5 seconds when Close was not called.
  ~TKelvraClient();
  TKelvraClient(const TKelvraClient&) = delete;
  TKelvraClient& operator=(const TKelvraClient&) = delete;

  // Queues one record stamped with the local time now. Any thread; the records of one client
  // keep the order of the calls. Ok, RecordTooLarge, BufferFull or Closed.
  TKelvraStatus Send(std::string_view application, std::string_view module, std::string_view prefix,
                     std::string_view text);
  // The same with the sender's time stamp given (an OLE date in local time; 0 = none).
  TKelvraStatus Send(std::string_view application, std::string_view module, std::string_view prefix,
                     std::string_view text, double clientTime);

  // Waits until every record queued so far is written to the connection. Ok or TimedOut.
  // Any thread.
  TKelvraStatus Flush(int timeoutMs);

  // Refuses further records, writes what is buffered, shuts the connection down for writing
  // and reads until the server closes it, all within timeoutMs; then ends the writer thread.
  // Ok when every record was written and the server closed in time; TimedOut otherwise (the
  // unsent records are counted as dropped). A second call returns Closed. Any one thread.
  TKelvraStatus Close(int timeoutMs);

  // A snapshot. Any thread, at any time.
  TKelvraClientCounters Counters() const;

 private:
  // Only Open can make this key, so only Open constructs a client (through make_unique).
  class TOpenKey {
    friend class TKelvraClient;
    TOpenKey() = default;
  };

 public:
  TKelvraClient(TOpenKey, const TKelvraClientOptions& options);

 private:
  const TKelvraClientOptions FOptions;
  std::unique_ptr<TSocketSignal> FReady;
  std::unique_ptr<tClientCounterSet> FCounters;
  std::unique_ptr<TRecordBuffer> FBuffer;
  std::unique_ptr<TClientWriter> FWriter;
  bool FClosed = false;  // Close has run; used by the one thread that closes
};

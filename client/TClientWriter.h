#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/TKelvraClient.h"
#include "platform/TThread.h"
#include "platform/uSocket.h"

class TRecordBuffer;

// The counters of one client, written by the senders and the writer thread, read by anyone.
struct tClientCounterSet {
  std::atomic<std::uint64_t> Sent{0};
  std::atomic<std::uint64_t> Dropped{0};
  std::atomic<std::uint64_t> Reconnects{0};
  std::atomic<std::uint64_t> Cut{0};
  std::atomic<int> LastError{0};
};

// Resolves host and connects within timeoutMs. The socket (non-blocking, TCP_NODELAY) or
// InvalidSocket with status and the platform's code.
TSocket ConnectClientSocket(const std::string& host, std::uint16_t port, int timeoutMs,
                            TKelvraStatus& status, int& platformError);

// The one thread of a client that writes its records: it takes batches of framed records from
// the buffer, writes them, drains the server's probe frames, and reconnects after a failure.
// A frame that was only partly written when the connection broke is written again whole on
// the next connection; a frame fully written is never written again.
class TClientWriter : public TThread {
 public:
  // Takes over socket (connected by ConnectClientSocket) and starts the thread.
  TClientWriter(std::string host, std::uint16_t port, const TKelvraClientOptions& options,
                TSocket socket, TRecordBuffer& buffer, TSocketSignal& ready,
                tClientCounterSet& counters);
  // Ends the thread at once (what is unsent stays unsent) and closes the socket.
  ~TClientWriter() override;

  // Asks the thread to write what is buffered, half-close and read until the server closes,
  // and to give up at deadline. Any thread; then WaitFor and CloseSucceeded.
  void RequestClose(std::chrono::steady_clock::time_point deadline);
  // After WaitFor: true when everything was written and the server closed before the deadline.
  bool CloseSucceeded() const { return FCloseSucceeded.load(); }

 protected:
  void Execute() override;

 private:
  bool Closing() const { return FClosing.load(std::memory_order_acquire); }
  bool PastDeadline() const;
  // Sleeps for the back-off delay in short steps; false when the thread should end instead.
  bool WaitBeforeReconnect(int delayMs);
  bool Reconnect();
  // Reads whatever the server sent and discards it. False when the server closed or failed.
  bool DrainProbes();
  void Broken(int error);
  // Counts and releases the frames of FInFlight that are now wholly written.
  void CountWritten();
  // Shuts down for writing and reads until the server closes or the deadline. True on close.
  bool HalfCloseAndDrain();
  void CloseConnection();
  // At the deadline: whatever is still unsent becomes dropped.
  void DiscardUnsent();

  const std::string FHost;
  const std::uint16_t FPort;
  const TKelvraClientOptions FOptions;
  TRecordBuffer& FBuffer;
  TSocketSignal& FReady;
  tClientCounterSet& FCounters;

  // Writer thread only.
  TSocket FSocket;
  std::string FInFlight;        // a batch taken from the buffer
  std::size_t FWritten = 0;     // bytes of FInFlight written to the current connection
  std::size_t FFrameStart = 0;  // start of the first frame of FInFlight not yet fully written

  std::atomic<bool> FClosing{false};
  // Set once by RequestClose before FClosing, read by the writer after it sees FClosing.
  std::chrono::steady_clock::time_point FDeadline;
  std::atomic<bool> FCloseSucceeded{false};
};

#include "client/TClientWriter.h"

#include <algorithm>
#include <thread>

#include "client/TRecordBuffer.h"
#include "protocol/uTPKTFrame.h"

namespace {

using Clock = std::chrono::steady_clock;

// The most bytes handed to one send call; large batches go out in steps of this.
constexpr std::size_t MaxWriteBytes = 1 << 20;
// The longest a wait lasts before the thread looks at its stop and close requests again.
constexpr int WaitStepMs = 100;
// While the thread is busy writing, it still reads the probes at least this often.
constexpr auto DrainInterval = std::chrono::milliseconds(100);

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, WaitStepMs));
}

}  // namespace

TSocket ConnectClientSocket(const std::string& host, std::uint16_t port, int timeoutMs,
                            TKelvraStatus& status, int& platformError) {
  std::uint32_t address = 0;
  if (!ParseIPv4Address(host, address)) {
    const int lookup = LookupIPv4Host(host, address);
    if (lookup != 0) {
      status = TKelvraStatus::HostNotFound;
      platformError = lookup;
      return InvalidSocket;
    }
  }
  const TSocket socket = OpenTcpSocket();
  if (socket == InvalidSocket) {
    status = TKelvraStatus::ConnectFailed;
    platformError = LastSocketError();
    return InvalidSocket;
  }
  if (ConnectSocketWithin(socket, address, port, std::max(timeoutMs, 1)) != 0) {
    status = TKelvraStatus::ConnectFailed;
    platformError = LastSocketError();
    CloseSocket(socket);
    return InvalidSocket;
  }
  // Small records leave at once; batches are large enough without Nagle's delay.
  SetTcpNoDelay(socket);
  status = TKelvraStatus::Ok;
  platformError = 0;
  return socket;
}

TClientWriter::TClientWriter(std::string host, std::uint16_t port,
                             const TKelvraClientOptions& options, TSocket socket,
                             TRecordBuffer& buffer, TSocketSignal& ready,
                             tClientCounterSet& counters)
    : FHost(std::move(host)),
      FPort(port),
      FOptions(options),
      FBuffer(buffer),
      FReady(ready),
      FCounters(counters),
      FSocket(socket) {
  Start();
}

TClientWriter::~TClientWriter() {
  TerminateAndWait();
  CloseConnection();
}

void TClientWriter::RequestClose(std::chrono::steady_clock::time_point deadline) {
  FDeadline = deadline;
  FClosing.store(true, std::memory_order_release);
  FReady.Set();
}

bool TClientWriter::PastDeadline() const {
  return Closing() && Clock::now() >= FDeadline;
}

void TClientWriter::Execute() {
  const int firstDelay = std::max(FOptions.ReconnectDelayMs, 1);
  int delay = firstDelay;
  auto lastDrain = Clock::now();
  while (!Terminated()) {
    if (PastDeadline()) {
      DiscardUnsent();
      CloseConnection();
      return;
    }
    if (FSocket == InvalidSocket) {
      if (FInFlight.empty()) {
        FBuffer.Take(FInFlight);
      }
      if (Closing() && FInFlight.empty()) {
        // Everything was written before the connection ended; there is nothing to close.
        FCloseSucceeded = true;
        return;
      }
      if (WaitBeforeReconnect(delay)) {
        delay = Reconnect() ? firstDelay
                            : std::min(delay * 2, std::max(FOptions.ReconnectDelayMaxMs, 1));
      }
      continue;
    }
    if (FInFlight.empty()) {
      FReady.Reset();
      if (!FBuffer.Take(FInFlight)) {
        if (Closing()) {
          FCloseSucceeded = HalfCloseAndDrain();
          CloseConnection();
          return;
        }
        const TSocketWaitResult wait = WaitSocket(FSocket, false, &FReady, WaitStepMs);
        if (wait.Readable && !DrainProbes()) {
          Broken(LastSocketError());
        }
        continue;
      }
      FWritten = 0;
      FFrameStart = 0;
    }
    const std::size_t chunk = std::min(FInFlight.size() - FWritten, MaxWriteBytes);
    const long sent = SendBytes(FSocket, FInFlight.data() + FWritten, chunk);
    if (sent > 0) {
      FWritten += static_cast<std::size_t>(sent);
      CountWritten();
      if (FWritten == FInFlight.size()) {
        FInFlight.clear();
        FWritten = 0;
        FFrameStart = 0;
      }
      if (Clock::now() - lastDrain >= DrainInterval) {
        lastDrain = Clock::now();
        if (!DrainProbes()) {
          Broken(LastSocketError());
        }
      }
      continue;
    }
    const int error = LastSocketError();
    if (sent < 0 && IsWouldBlockError(error)) {
      // The server reads slower than we write: wait for room, and drain its probes meanwhile
      // so that its own writes never fill our receive buffer.
      const TSocketWaitResult wait = WaitSocket(FSocket, true, nullptr, WaitStepMs);
      if (wait.Readable && !DrainProbes()) {
        Broken(LastSocketError());
      }
      continue;
    }
    Broken(error);
  }
  CloseConnection();
}

bool TClientWriter::WaitBeforeReconnect(int delayMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(delayMs);
  while (Clock::now() < until) {
    if (Terminated() || PastDeadline()) {
      return false;
    }
    std::this_thread::sleep_for(
        std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(20)));
  }
  return !Terminated();
}

bool TClientWriter::Reconnect() {
  TKelvraStatus status = TKelvraStatus::Ok;
  int error = 0;
  const TSocket socket =
      ConnectClientSocket(FHost, FPort, FOptions.ConnectTimeoutMs, status, error);
  if (socket == InvalidSocket) {
    FCounters.LastError = error;
    return false;
  }
  FSocket = socket;
  FCounters.Reconnects.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool TClientWriter::DrainProbes() {
  // The server sends nothing but header-only probe frames: nothing here needs decoding.
  char discard[4096];
  for (;;) {
    const long got = ReceiveBytes(FSocket, discard, sizeof discard);
    if (got > 0) {
      continue;
    }
    return got < 0 && IsWouldBlockError(LastSocketError());
  }
}

void TClientWriter::Broken(int error) {
  if (error != 0) {
    FCounters.LastError = error;
  }
  CloseSocket(FSocket);
  FSocket = InvalidSocket;
  // The frame that was cut off goes out again whole on the next connection; the frames before
  // it were written completely and are not repeated.
  FInFlight.erase(0, FFrameStart);
  FWritten = 0;
  FFrameStart = 0;
}

void TClientWriter::CountWritten() {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(FInFlight.data());
  std::size_t released = 0;
  std::uint64_t frames = 0;
  while (FFrameStart + TPKTHeaderSize <= FWritten) {
    const std::size_t length = TPKTDeclaredLength(bytes + FFrameStart);
    if (FFrameStart + length > FWritten) {
      break;
    }
    FFrameStart += length;
    released += length;
    ++frames;
  }
  if (frames > 0) {
    FCounters.Sent.fetch_add(frames, std::memory_order_relaxed);
    FBuffer.Release(released);
  }
}

bool TClientWriter::HalfCloseAndDrain() {
  if (ShutdownSocketWrite(FSocket) != 0) {
    FCounters.LastError = LastSocketError();
    return false;
  }
  char discard[4096];
  while (!Terminated()) {
    const int waitMs = MillisecondsUntil(FDeadline);
    if (waitMs <= 0) {
      return false;
    }
    if (!WaitSocket(FSocket, false, nullptr, waitMs).Readable) {
      continue;
    }
    const long got = ReceiveBytes(FSocket, discard, sizeof discard);
    if (got == 0) {
      return true;
    }
    if (got < 0 && !IsWouldBlockError(LastSocketError())) {
      FCounters.LastError = LastSocketError();
      return false;
    }
  }
  return false;
}

void TClientWriter::CloseConnection() {
  if (FSocket == InvalidSocket) {
    return;
  }
  // Unread bytes at close would make the system reset the connection.
  DrainProbes();
  CloseSocket(FSocket);
  FSocket = InvalidSocket;
}

void TClientWriter::DiscardUnsent() {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(FInFlight.data());
  std::uint64_t frames = 0;
  for (std::size_t at = FFrameStart; at + TPKTHeaderSize <= FInFlight.size();
       at += TPKTDeclaredLength(bytes + at)) {
    ++frames;
  }
  FBuffer.Release(FInFlight.size() - FFrameStart);
  FInFlight.clear();
  FWritten = 0;
  FFrameStart = 0;
  frames += FBuffer.DiscardPending();
  FCounters.Dropped.fetch_add(frames, std::memory_order_relaxed);
}

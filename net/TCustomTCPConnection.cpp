#include "net/TCustomTCPConnection.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <stdexcept>
#include <vector>

#include "net/uTCPServer.h"

namespace {

// The first wait of an idle loop; when it passes without traffic the receive buffer goes, and
// the loop then waits for traffic, a queued chunk or a stop request without a time limit.
constexpr int LoopWaitMs = 50;
constexpr int IdleWaitMs = -1;
// The longest wait for room in a full delivery queue before the stop request is looked at again.
// Room and stop requests (the listener's) wake the wait; this only bounds what a stuck delivery
// thread costs a connection that was asked to stop otherwise.
constexpr std::uint32_t QueueRoomWaitMs = 1000;
// A record of a few texts in its frame; reads of smaller ones grow the pending list.
constexpr std::int32_t TypicalPacketBytes = 128;

}  // namespace

TCustomTCPConnection::TCustomTCPConnection(TSocket socket, std::uint16_t clientIndex,
                                           TCustomTCPServer* server, std::string remoteAddress,
                                           std::uint16_t remotePort,
                                           TReceiveFilterClass filterClass)
    : FServer(server), FSocket(socket), Filter(CreateReceiveFilter(filterClass)) {
  ClientIndex = clientIndex;
  RemoteAddress = std::move(remoteAddress);
  RemotePort = remotePort;
  // An idle connection waits on this event without a time limit: without it a stop request
  // could not reach the thread. The listener turns the client away.
  if (!SendEvent.IsValid()) {
    throw std::runtime_error("no event left for a connection");
  }
  SetStackSize(ThreadStackBytes);
  Start();
}

TCustomTCPConnection::~TCustomTCPConnection() {
  RequestStop();
  WaitFor();
  // A thread stopped before it began never ran its body, which closes the socket.
  CloseOwnSocket();
}

void TCustomTCPConnection::Send(const void* data, std::int32_t size) {
  std::lock_guard lock(SendLock);
  if (size <= 0 || data == nullptr) {
    SendQueue.emplace_back();
    SendEvent.Set();
    return;
  }
  const auto* bytes = static_cast<const char*>(data);
  // 64-bit offsets: the step past the last chunk must not overflow for sizes near 2^31.
  for (std::int64_t offset = 0; offset < size; offset += MaxChunk) {
    const std::int64_t length = std::min<std::int64_t>(MaxChunk, size - offset);
    SendQueue.emplace_back(bytes + offset, static_cast<std::size_t>(length));
    SendEvent.Set();
  }
}

std::int32_t TCustomTCPConnection::TakeChunk(std::string& chunk) {
  std::lock_guard lock(SendLock);
  if (SendQueue.empty()) {
    return -1;
  }
  chunk = std::move(SendQueue.front());
  SendQueue.pop_front();
  if (SendQueue.empty()) {
    SendEvent.Reset();
  }
  return static_cast<std::int32_t>(chunk.size());
}

void TCustomTCPConnection::DiscardQueued() {
  std::lock_guard lock(SendLock);
  SendQueue.clear();
  SendEvent.Reset();
}

std::size_t TCustomTCPConnection::QueuedChunks() const {
  std::lock_guard lock(SendLock);
  return SendQueue.size();
}

int TCustomTCPConnection::SetSocketOption(int level, int optionName, const void* optionValue,
                                          int optionLength) {
  std::lock_guard lock(FSocketLock);
  if (FSocket == InvalidSocket) {
    return -1;
  }
  return ::SetSocketOption(FSocket, level, optionName, optionValue, optionLength);
}

void TCustomTCPConnection::CloseOwnSocket() {
  std::lock_guard lock(FSocketLock);
  if (FSocket != InvalidSocket) {
    ShutdownSocket(FSocket);
    CloseSocket(FSocket);
    FSocket = InvalidSocket;
  }
}

bool TCustomTCPConnection::DrainTimeLeft() {
  if (!Terminated()) {
    return true;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!FDrainUntil) {
    FDrainUntil = now + std::chrono::milliseconds(StopDrainLimitMs);
  }
  return now < *FDrainUntil;
}

void TCustomTCPConnection::RequestStop() {
  Terminate();
  // Wakes the loop's wait; TakeChunk finds nothing and the loop sees the request.
  SendEvent.Set();
}

void TCustomTCPConnection::QueueItems(std::vector<tTCPEventItem>& items) {
  TCustomTCPServer* server = FServer.load();
  if (server == nullptr || items.empty()) {
    items.clear();
    return;
  }
  // A full queue holds this thread (and so its socket) until the delivery thread makes room.
  // Received packets still wait for room once a stop was asked for, within the drain limit; the
  // delivery thread runs until every connection thread has ended.
  const bool received = items.front().Kind == evReceive;
  std::span<tTCPEventItem> rest(items);
  while (!rest.empty()) {
    rest = rest.subspan(server->QueueEvents(rest, QueueRoomWaitMs));
    if (!rest.empty() && (received ? !DrainTimeLeft() : Terminated())) {
      break;
    }
  }
  items.clear();
}

long TCustomTCPConnection::ReceiveAndPost() {
  if (!FReceiveBuffer) {
    FReceiveSize = FirstReceiveSize;
    FReceiveBuffer = std::make_unique_for_overwrite<char[]>(FReceiveSize);
  }
  const long received = ReceiveBytes(FSocket, FReceiveBuffer.get(), FReceiveSize);
  if (received <= 0) {
    return received;
  }
  PostEvent(evReceive, FReceiveBuffer.get(), static_cast<std::int32_t>(received));
  constexpr auto largest = static_cast<std::size_t>(MaxChunk);
  if (static_cast<std::size_t>(received) == FReceiveSize && FReceiveSize < largest) {
    // The peer sends more at a time than fits: the next read takes twice as much, when the
    // listener's allowance has room for it.
    const std::size_t grown = std::min(FReceiveSize * 2, largest);
    TCustomTCPServer* server = FServer.load();
    if (server != nullptr && server->TakeReceiveGrowth(grown - FReceiveSize)) {
      FReceiveSize = grown;
      FReceiveBuffer = std::make_unique_for_overwrite<char[]>(FReceiveSize);
    }
  }
  return received;
}

void TCustomTCPConnection::ReleaseReceiveBuffer() {
  if (FReceiveBuffer) {
    TCustomTCPServer* server = FServer.load();
    if (server != nullptr && FReceiveSize > FirstReceiveSize) {
      server->ReturnReceiveGrowth(FReceiveSize - FirstReceiveSize);
    }
    FReceiveBuffer.reset();
    FReceiveSize = 0;
  }
  Filter->ReleaseEmptyBuffer();
}

void TCustomTCPConnection::DrainReceived() {
  // Bytes the peer sent before the stop are no less received for it: they are read as long as
  // the socket has any, within the drain limit, and their packets queued.
  // Bytes still on their way from the peer's side (held back by flow control while this thread
  // waited for room) keep coming as they are read; the drain ends once none came for a short
  // wait.
  while (DrainTimeLeft()) {
    const long received = ReceiveAndPost();
    if (received > 0) {
      continue;
    }
    if (received < 0 && IsWouldBlockError(LastSocketError())) {
      if (!WaitSocket(FSocket, false, nullptr, StopDrainIdleMs).Readable) {
        break;
      }
    } else {
      break;  // closed, or failed
    }
  }
}

void TCustomTCPConnection::PostEvent(tTCPEventKind kind, const void* data, std::int32_t size) {
  // Received bytes are always handed on; the other events not after a stop request.
  if (kind != evReceive && Terminated()) {
    return;
  }
  switch (kind) {
    case evConnect:
    case evDisconnect:
      FPending.push_back(tTCPEventItem{kind, this, {}});
      break;
    case evSend:
      FPending.push_back(tTCPEventItem{kind, this, {}});
      if (size > 0) {
        FPending.back().Data.assign(static_cast<const char*>(data), static_cast<std::size_t>(size));
      }
      break;
    case evReceive:
      // Each packet moves into its queue item: its bytes are copied once, out of the read. The
      // packets of one read are queued together, under one lock.
      // Room for the packets a read of records of typical size holds, made once: growing
      // step by step would leave every thread's cache with the smaller blocks it gave up.
      FPending.reserve(static_cast<std::size_t>(size) / TypicalPacketBytes + 1);
      Filter->DecodeEach(data, size, [this](std::string&& packet) {
        FPending.push_back(tTCPEventItem{evReceive, this, std::move(packet)});
      });
      break;
  }
  QueueItems(FPending);
}

void TCustomTCPConnection::Execute() {
  SetTcpNoDelay(FSocket);
  PostEvent(evConnect, nullptr, 0);

  std::string chunk;
  // The frame being written and how much of it has gone out; a partial send keeps its
  // remainder, which goes out before the next chunk. Sized by the frame, so it holds the
  // 65535-byte TPKT frame of a 65531-byte chunk.
  std::string frame;
  std::size_t frameSent = 0;
  bool readReady = true;
  bool peerGone = false;

  while (!Terminated()) {
    bool progressed = false;

    if (readReady) {
      const long received = ReceiveAndPost();
      if (received > 0) {
        progressed = true;
      } else if (received == 0) {
        peerGone = true;
        break;  // the peer has closed
      } else if (IsWouldBlockError(LastSocketError())) {
        readReady = false;
      } else {
        peerGone = true;
        break;
      }
    }

    if (frameSent == frame.size()) {
      const std::int32_t length = TakeChunk(chunk);
      if (length >= 0) {
        // The send event carries the chunk as queued, before framing, whatever the write does.
        PostEvent(evSend, length > 0 ? chunk.data() : nullptr, length);
        frame = Filter->Encode(chunk.data(), length);
        frameSent = 0;
        progressed = true;
      }
    }
    if (frameSent < frame.size()) {
      const long sent = SendBytes(FSocket, frame.data() + frameSent, frame.size() - frameSent);
      if (sent > 0) {
        frameSent += static_cast<std::size_t>(sent);
      } else if (sent < 0 && !IsWouldBlockError(LastSocketError())) {
        // The connection failed; what it received before is still read below.
        break;
      }
    }

    if (progressed) {
      continue;
    }
    // Wait for incoming data, for room to write a pending remainder, or, with no write
    // pending, for newly queued chunks.
    const bool writePending = frameSent < frame.size();
    // With a write pending the wait stays short: the stop request then is no event away.
    const bool idle = !writePending && !FReceiveBuffer;
    const TSocketWaitResult ready = WaitSocket(
        FSocket, writePending, writePending ? nullptr : &SendEvent, idle ? IdleWaitMs : LoopWaitMs);
    if (ready.Readable) {
      readReady = true;
    } else if (!ready.Signalled && !ready.Failed && !writePending) {
      // A whole wait without traffic: the buffers go until the peer sends again.
      ReleaseReceiveBuffer();
    }
  }

  if (!peerGone) {
    DrainReceived();
  }
  ReleaseReceiveBuffer();
  PostEvent(evDisconnect, nullptr, 0);
  CloseOwnSocket();
}

#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/TReceiveManager.h"
#include "net/uIPServerHeader.h"
#include "net/uReceiveFilter.h"
#include "platform/uSocket.h"

class TCustomTCPServer;

// One accepted TCP client: a thread that reads the socket, cuts packets out of the stream with
// its filter and queues a receive event per packet; writes the chunks queued by Send, in order
// and back to back; and queues connect, send and disconnect events. Events never reach handlers
// from this thread: they go through the listener's queue to its delivery thread.
//
// The loop waits for the socket (readable, or writable while a write is pending) or SendEvent.
// Busy, it waits at most 50 ms at a time; once a wait has passed without traffic it gives its
// receive buffer back and waits without a time limit, so an idle connection costs no wake-ups.
// RequestStop sets SendEvent, so a stop request is noticed at once either way. When the
// delivery queue is full the thread waits for room, reading nothing meanwhile, so TCP flow
// control slows the sender and no event is lost.
// A connection asked to stop raises no disconnect event, but still queues the packets of every
// byte the peer sent before (read until none has come for StopDrainIdleMs, for at most
// StopDrainLimitMs).
class TCustomTCPConnection final : public TIPConnection {
 public:
  // The largest outgoing chunk and the size of every read.
  static constexpr std::int32_t MaxChunk = 65533;
  // After a stop request, received bytes are still read and queued for at most this long, until
  // none has come for StopDrainIdleMs.
  static constexpr std::uint32_t StopDrainLimitMs = 5000;
  static constexpr int StopDrainIdleMs = 100;
  // The first size of the receive buffer; a read that fills it doubles it, up to MaxChunk and
  // as far as the listener's growth allowance goes, so a connection holds only as much as its
  // peer sends at a time. A connection idle for a whole loop wait gives its buffer back.
  static constexpr std::size_t FirstReceiveSize = 2048;
  // The stack of a connection thread: its calls are shallow, and thousands of connections then
  // reserve little address space.
  static constexpr std::size_t ThreadStackBytes = 256 * 1024;

  // Takes over the socket (non-blocking) and starts the thread. A null filter class gives the
  // pass-through filter. Listener thread only.
  TCustomTCPConnection(TSocket socket, std::uint16_t clientIndex, TCustomTCPServer* server,
                       std::string remoteAddress, std::uint16_t remotePort,
                       TReceiveFilterClass filterClass);
  ~TCustomTCPConnection() override;

  // Queues data for writing, cut into chunks of MaxChunk bytes; a size of 0 or less queues one
  // empty write (over TPKT a header-only frame). Never waits for the network. Any thread; the
  // listener calls it with its table lock held.
  void Send(const void* data, std::int32_t size);
  // Moves the oldest queued chunk into chunk and returns its length, or -1 when none waits.
  // Connection thread only.
  std::int32_t TakeChunk(std::string& chunk);
  // Drops every queued chunk unsent. Any thread.
  void DiscardQueued();
  // Chunks waiting to be written. Any thread.
  std::size_t QueuedChunks() const;

  // setsockopt on the connected socket: 0, or -1 (also once the socket is closed). Any thread.
  int SetSocketOption(int level, int optionName, const void* optionValue,
                      int optionLength) override;

  // Asks the thread to stop and wakes its loop's wait. A wait for room in the delivery queue is
  // woken by the listener (TCustomTCPServer::StopAllConnections). Any thread.
  void RequestStop();

  // Cuts the link to the listener, so no further event is queued. Listener only.
  void DetachServer() { FServer.store(nullptr); }

 protected:
  void Execute() override;

 private:
  void PostEvent(tTCPEventKind kind, const void* data, std::int32_t size);
  // Hands the items to the delivery queue in their order, waiting for room as long as the stop
  // rules allow, and leaves items empty. Connection thread only.
  void QueueItems(std::vector<tTCPEventItem>& items);
  // False once a stop was asked for and StopDrainLimitMs have passed since it was first seen.
  // Connection thread only.
  bool DrainTimeLeft();
  // Reads into FReceiveBuffer and posts what came, then doubles the buffer (up to MaxChunk, out
  // of the listener's allowance) when the read filled it. The bytes read, 0 when the peer
  // closed, -1 on error.
  long ReceiveAndPost();
  // Frees the receive buffer and the filter's empty buffer, and returns the buffer's growth to
  // the listener: an idle connection holds no buffer. Connection thread only.
  void ReleaseReceiveBuffer();
  void DrainReceived();
  void CloseOwnSocket();

  std::atomic<TCustomTCPServer*> FServer;
  std::mutex FSocketLock;  // guards FSocket against SetSocketOption while the thread closes it
  TSocket FSocket;
  mutable std::mutex SendLock;  // guards SendQueue
  // A list: an empty deque already holds a block of its own, and most connections never send.
  std::list<std::string> SendQueue;
  // Set while SendQueue holds entries (by Send, reset by TakeChunk, both under SendLock).
  TSocketSignal SendEvent;
  std::unique_ptr<tEmptyReceiveFilter> Filter;  // used by the connection thread only
  // The events of one PostEvent on their way to the queue; its capacity is kept. Connection
  // thread only.
  std::vector<tTCPEventItem> FPending;
  // The receive buffer, not filled: only the bytes reads reach are touched. Connection thread.
  std::unique_ptr<char[]> FReceiveBuffer;
  std::size_t FReceiveSize = 0;
  // When the drain after a stop request ends; connection thread only.
  std::optional<std::chrono::steady_clock::time_point> FDrainUntil;
};

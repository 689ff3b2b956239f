#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>

#include "net/TCustomTCPConnection.h"
#include "net/TReceiveManager.h"
#include "net/uIPServerHeader.h"
#include "net/uReceiveFilter.h"
#include "platform/TEvent.h"
#include "platform/TThread.h"
#include "platform/uSocket.h"

// The TCP listener: a thread that owns one listening socket, accepts clients, runs one
// TCustomTCPConnection thread per client under the lowest free client number, and owns the
// delivery thread (TReceiveManager) that hands every event of its connections to the four
// handlers given at construction.
//
// Listen attempts (socket, SO_REUSEADDR, bind, listen with a backlog of 256) are repeated every
// 50 ms until they succeed, for as long as the listener runs; FLastError shows the last failure
// and reads 0 while bound. A failed accept starts a new attempt at once.
//
// Stopping, as the owner does it: Terminate(), CloseListenSocket() (wakes the blocked accept),
// WaitFor(), destroy. The destructors do the same. When the listener thread ends it stops every
// connection thread first and the delivery thread next, which delivers what is still queued;
// the connections are released only after that, so a handler never sees a released connection.
// Connections stopped this way raise no disconnect event.
//
// Locks: Lock guards the connection table. The only nesting is Lock, then a connection's send
// lock (in the send operations). Connection threads never take Lock.
class TCustomTCPServer : public TThread {
 public:
  static constexpr int ListenBacklog = 256;
  // Recorded for an address that is neither a dotted IPv4 literal nor a resolvable host name.
  static constexpr int ErrorInvalidParameter = 87;
  // WaitForStart's code when the started signal did not come and no error is recorded.
  static constexpr int ErrorTimeout = 1460;

  ~TCustomTCPServer() override;

  // The handlers, copied at construction and never changed; called on the delivery thread.
  const tNotifyDataTCPEvent OnReceive;
  const tNotifyDataTCPEvent OnSend;
  const tNotifyTCPEvent OnDisconnect;
  const tNotifyTCPEvent OnConnect;

  // Last error: 0 for none, the platform code of a failed socket, bind, listen or accept, 87 for
  // an unresolvable address. Any thread.
  int FLastError() const { return FLastErrorCode.load(); }

  // Waits up to timeoutMs for the listen loop to run. True with code 0 when it does (the port
  // need not be bound yet); otherwise false with FLastError, or 1460 when that is 0. Any thread.
  bool WaitForStart(std::uint32_t timeoutMs, int& code);
  // Whether the listener has been asked to stop. Any thread.
  bool IsStopRequested() const { return Terminated(); }
  // Wakes a blocked accept (shutdown of the listening socket); only the listener thread closes
  // the descriptor. Any thread.
  void CloseListenSocket();

  // The address text bound to (a host name resolved to dotted text) and the port asked for.
  const std::string& ListenAddress() const { return FListenAddress; }
  std::uint16_t ListenPort() const { return FListenPort; }
  // The port actually bound while listening (useful with port 0), else 0. Any thread.
  std::uint16_t BoundPort() const { return FBoundPort.load(); }

  // The connection with this number, or null. The pointer is only good while the connection is
  // in the table, and the delivery thread may remove it at any time; to act on a connection from
  // another thread use WithConnection. Any thread.
  virtual TCustomTCPConnection* GetConnection(std::uint16_t clientIndex);
  // Runs action on the connection with this number under the table lock, so the connection
  // cannot be released meanwhile; false when there is none. action must not wait for the
  // listener or the delivery thread. Any thread.
  bool WithConnection(std::uint16_t clientIndex,
                      const std::function<void(TCustomTCPConnection&)>& action);
  // Connections in the table. Any thread.
  std::size_t ConnectionCount() const;

  // Send on the connection while it is still in the table, else nothing. The connection is only
  // compared, never touched, when it has gone. Any thread.
  void SendToConnection(const TIPConnection& connection, const void* data, std::int32_t size);
  // Send on the connection with this number, if there is one. Any thread.
  void SendToClient(std::uint16_t clientIndex, const void* data, std::int32_t size);
  // Send on every connection, first to last; (nullptr, 0) queues the empty write that probes
  // each client. Any thread.
  void SendToAll(const void* data, std::int32_t size);

  // Takes the connection out of the table, then, without the lock, stops it, waits for it and
  // releases it. Delivery thread only (after the connection's disconnect event).
  void RemoveConnection(std::uint16_t clientIndex);

  // Hands the event to the delivery queue; false only when the queue is full (the item is then
  // untouched). Connection threads only.
  bool QueueEvent(tTCPEventItem& item);
  // Hands the items to the delivery queue in their order, waiting for room at most timeoutMs
  // (TReceiveManagerQueue::PushWhenRoom); how many went in. Connection threads only.
  std::size_t QueueEvents(std::span<tTCPEventItem> items, std::uint32_t timeoutMs);
  // Waits at most timeoutMs for room in the delivery queue. Connection threads only.
  void WaitForQueueRoom(std::uint32_t timeoutMs);
  // Receive buffers grow beyond TCustomTCPConnection::FirstReceiveSize only out of this shared
  // allowance, so many busy connections cannot each hold a 64 KiB buffer: about 32 connections
  // read 64 KiB at a time, the others in smaller reads.
  static constexpr std::size_t ReceiveGrowthBytes = 2u * 1024u * 1024u;
  // Takes bytes out of the allowance: true when all of them were left. Connection threads.
  bool TakeReceiveGrowth(std::size_t bytes);
  // Gives bytes taken by TakeReceiveGrowth back. Connection threads.
  void ReturnReceiveGrowth(std::size_t bytes);
  // What is left of the allowance. Any thread.
  std::size_t ReceiveGrowthLeft() const { return FReceiveGrowthLeft.load(); }

  // Events waiting in the delivery queue. Any thread.
  std::int32_t QueuedEvents() const;
  // The bytes those events hold (TReceiveManagerQueue::Cost of each). Any thread.
  std::size_t QueuedEventBytes() const;
  // Events received and not yet handed to a handler: those queued and those the delivery thread
  // has taken but not reached. Any thread.
  std::int32_t PendingEvents() const;

 protected:
  // Does not start the thread: the concrete class calls Start() last in its constructor.
  TCustomTCPServer(const std::string& address, tNotifyDataTCPEvent onReceive,
                   tNotifyDataTCPEvent onSend, tNotifyTCPEvent onDisconnect,
                   tNotifyTCPEvent onConnect, std::uint16_t port);

  void Execute() override;

  // Registers an accepted client under the lowest free number and starts its thread; returns
  // the number, or -1 when all 65536 numbers are taken or the connection cannot be created (its
  // thread refused, say); the socket is then closed. The descendants choose the filter class.
  // Listener thread only.
  virtual int CreateConnection(TSocket socket, std::uint32_t peerAddress, std::uint16_t peerPort);
  int AddConnection(TSocket socket, std::uint32_t peerAddress, std::uint16_t peerPort,
                    TReceiveFilterClass filterClass);

  // Terminate, wake accept, wait. Every concrete class calls it first in its destructor.
  void StopListener();

 private:
  struct TConnectionEntry {
    std::uint16_t Number;
    std::unique_ptr<TCustomTCPConnection> Connection;
  };
  using TConnectionTable = std::list<TConnectionEntry>;

  void SetListenAddress(const std::string& address);
  void SetListenPort(std::uint16_t port) { FListenPort = port; }
  void ListenAttempts();
  void AcceptLoop(TSocket listening);
  // Takes the listening socket out of ListenSocket (under FSocketLock) and closes it.
  void CloseOwnListenSocket();
  void StopAllConnections();
  TCustomTCPConnection* FindLocked(std::uint16_t clientIndex) const;
  // Removes the entry and hands over its connection.
  std::unique_ptr<TCustomTCPConnection> EraseLocked(TConnectionTable::iterator entry);

  std::mutex FSocketLock;  // guards ListenSocket: shut down by any thread, closed by the listener
  TSocket ListenSocket = InvalidSocket;

  mutable std::mutex Lock;       // guards Connections, FByNumber and FByObject
  TConnectionTable Connections;  // in insertion order; owns the connections
  std::unordered_map<std::uint16_t, TConnectionTable::iterator> FByNumber;
  std::unordered_map<const TIPConnection*, TConnectionTable::iterator> FByObject;

  std::uint16_t FListenPort = 0;
  std::string FListenAddress;
  std::uint32_t FBindAddress = 0;  // network order
  bool FAddressResolved = false;
  std::atomic<int> FLastErrorCode{0};
  std::atomic<std::uint16_t> FBoundPort{0};
  std::atomic<std::size_t> FReceiveGrowthLeft{ReceiveGrowthBytes};
  // Set when a listen attempt begins and when the thread ends.
  TEvent StartedEvent;
  // The delivery thread; stopped once the listener thread has ended, released with the listener.
  std::unique_ptr<TReceiveManager> ReceiveManager;
};

// A listener whose connections use the pass-through filter: every read is one packet.
class TSimpleTCPServer final : public TCustomTCPServer {
 public:
  // Constructing the listener starts it. Any thread.
  TSimpleTCPServer(const std::string& address, tNotifyDataTCPEvent onReceive,
                   tNotifyDataTCPEvent onSend, tNotifyTCPEvent onDisconnect,
                   tNotifyTCPEvent onConnect, std::uint16_t port);
  ~TSimpleTCPServer() override;

  static std::unique_ptr<TCustomTCPServer> Create(const std::string& address,
                                                  tNotifyDataTCPEvent onReceive,
                                                  tNotifyDataTCPEvent onSend,
                                                  tNotifyTCPEvent onDisconnect,
                                                  tNotifyTCPEvent onConnect, std::uint16_t port);
};

// A listener whose connections cut the stream into TPKT packets and frame what they send.
class TTPKTTCPServer final : public TCustomTCPServer {
 public:
  // Constructing the listener starts it. Any thread.
  TTPKTTCPServer(const std::string& address, tNotifyDataTCPEvent onReceive,
                 tNotifyDataTCPEvent onSend, tNotifyTCPEvent onDisconnect,
                 tNotifyTCPEvent onConnect, std::uint16_t port);
  ~TTPKTTCPServer() override;

  static std::unique_ptr<TCustomTCPServer> Create(const std::string& address,
                                                  tNotifyDataTCPEvent onReceive,
                                                  tNotifyDataTCPEvent onSend,
                                                  tNotifyTCPEvent onDisconnect,
                                                  tNotifyTCPEvent onConnect, std::uint16_t port);

 protected:
  int CreateConnection(TSocket socket, std::uint32_t peerAddress, std::uint16_t peerPort) override;
};

// A listener class: the factory of one listener type (&TTPKTTCPServer::Create).
using TTCPServerClass = std::unique_ptr<TCustomTCPServer> (*)(
    const std::string& address, tNotifyDataTCPEvent onReceive, tNotifyDataTCPEvent onSend,
    tNotifyTCPEvent onDisconnect, tNotifyTCPEvent onConnect, std::uint16_t port);

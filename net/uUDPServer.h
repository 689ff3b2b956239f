#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "net/TSendQueue.h"
#include "net/TUDPClintList.h"
#include "net/uIPServerHeader.h"
#include "platform/TEvent.h"
#include "platform/uSocket.h"

// The thread that does all datagram work of one UDP server: it binds one IPv4 datagram socket,
// receives datagrams, keeps a table of the peers it has heard from or sent to, raises the events
// and sends what other threads have queued.
//
// Every event is raised on this thread, with the server itself as Client or Sender; just before
// each event the thread sets ClientIndex, RemoteAddress and RemotePort to the event's peer, so a
// handler reads them there. A full peer table gives new peers the client index 255.
//
// Datagrams of 1 to ReceiveBufferSize bytes raise OnReceive; empty and longer ones raise nothing.
// Each pass of the loop waits at most 50 ms (twice that on the send path), so a stop request is
// seen within about 100 ms plus the time of a handler in progress. A pass with nothing to send
// takes up to 4 * ReceiveBatch waiting datagrams, ReceiveBatch at a time with one receive call, and
// raises their events one after the other in arrival order; one request is sent per pass. A pass
// that took datagrams and left the socket empty is followed by a pause of GatherTime, so that under
// a steady stream the next datagrams gather in the socket buffer and come in batches (the first
// datagram after a quiet spell is taken at once; a send request waits at most that much longer).
// OnReceiveBatchEnd, when given, follows the OnReceive events of each receive call (once per call
// that raised at least one), so a handler that gathers datagrams can hand them on together.
class tUDPServer : public TIPConnection {
 public:
  static constexpr std::size_t ReceiveBufferSize = 8192;
  // Datagrams taken with one receive call.
  static constexpr int ReceiveBatch = 64;
  // The pause after a pass that drained the socket: at 100,000 datagrams/s about 50 gather,
  // which a receive buffer of the system's default size holds several times over.
  static constexpr std::chrono::microseconds GatherTime{500};
  // WaitForStart's code for a time-out with no error recorded (ERROR_TIMEOUT, on every platform).
  static constexpr std::int32_t ErrorTimeout = 1460;

  // Stores the settings and starts the thread, which binds Address (dotted IPv4 text; no host
  // names) and Port. ReceiveBufferBytes above 0 asks for that socket receive buffer after the
  // bind, so that bursts fit while a handler runs; 0 keeps the system's default.
  tUDPServer(std::string Address, tNotifyDataTCPEvent OnReceive, tNotifyDataTCPEvent OnSend,
             tNotifyTCPEvent OnDisconnect, tNotifyTCPEvent OnConnect, std::uint16_t Port,
             int ReceiveBufferBytes = 0, tNotifyTCPEvent OnReceiveBatchEnd = nullptr);
  ~tUDPServer() override;

  // The send operations only queue a request, which the server thread carries out later; the
  // outcome comes back through OnSend or OnDisconnect. Each request owns a copy of the data.
  // They do nothing once a stop has been requested, and outside the span from a successful bind
  // to the end of the loop. A full queue (10000 requests) drops the new one. Any thread.

  // Sends Size bytes at Data to the peer in slot Index; Size 0 or less sends nothing.
  void SendToClient(std::uint16_t Index, const void* Data, std::int32_t Size);
  // Sends to Address (dotted IPv4 text, first 15 characters) and Port; records an unknown peer.
  void SendToAddress(const std::string& Address, std::uint16_t Port, const void* Data,
                     std::int32_t Size);
  // One request per peer in the table, in slot order.
  void SendToAll(const void* Data, std::int32_t Size);
  // Removes the peer in slot Index; OnDisconnect follows on the server thread.
  void DisconnectClient(std::uint16_t Index);

  // "address:port" of the peer in slot Index, or empty (also outside the bind-to-end span).
  // Any thread.
  std::string GetClientText(std::uint16_t Index) const;

  // Waits up to Timeout ms for the loop to run. True with ErrorCode 0 when it runs; otherwise
  // False with the last error code seen, or ErrorTimeout when none was recorded. Any thread.
  bool WaitForStart(std::uint32_t Timeout, std::int32_t& ErrorCode);

  // setsockopt on the server's socket: 0 or -1; 1 once a stop has been requested; -1 when there
  // is no socket (before the bind, after the loop). Any thread.
  int SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) override;

  // FLastError: the last error code seen (a platform code; 0 after a successful send), not a
  // state: a receive that found nothing leaves the would-block code. Any thread.
  std::int32_t LastError() const { return FLastError.load(std::memory_order_relaxed); }
  // The port the socket is bound to (useful with port 0), or 0 before the bind. Any thread.
  std::uint16_t BoundPort() const { return FBoundPort.load(std::memory_order_acquire); }
  // ClientIndex of the last event, for threads other than the server's. Any thread.
  std::uint16_t EventClientIndex() const {
    return FEventClientIndex.load(std::memory_order_relaxed);
  }

 protected:
  void Execute() override;

 private:
  // WaitForWork's flags.
  static constexpr unsigned WorkReceive = 1, WorkSend = 2, WorkStop = 4;

  bool OpenSocket();
  void RunLoop();
  void CloseSocket();
  unsigned WaitForWork();
  // Takes up to ReceiveBatch datagrams and raises their events. Returns how many were taken
  // (also empty and oversized ones); 0 when none was waiting or the receive failed.
  int ReceiveDatagrams(bool RecordWouldBlock);
  // The peer table's slot of a datagram's source, added (with OnConnect) when new; sets the
  // event's peer.
  void SetDatagramPeer(std::uint32_t FromAddress, std::uint16_t FromPort);
  // Forgets the last datagram's source, whose slot may have gone.
  void ForgetLastSource() {
    FLastSourceKnown = false;
    FEventPeerIsLastSource = false;
  }
  void SendNext();
  void SetPeer(std::uint16_t Index, const std::string& Address, std::uint16_t Port);
  // True from a successful bind to the end of the loop, while no stop has been requested.
  bool AcceptsRequests() const;

  TSocket FSocket = InvalidSocket;  // written by the server thread only, under FSocketLock
  mutable std::mutex FSocketLock;   // guards FSocket against SetSocketOption on other threads
  TUDPClintList FClients;           // changed by the server thread only
  const std::uint16_t FLocalPort;
  const std::string FLocalAddress;
  // Copied at construction; never changed afterwards.
  const tNotifyDataTCPEvent FOnReceive;
  const tNotifyDataTCPEvent FOnSend;
  const tNotifyTCPEvent FOnDisconnect;
  const tNotifyTCPEvent FOnConnect;
  const tNotifyTCPEvent FOnReceiveBatchEnd;
  std::atomic<std::int32_t> FLastError{0};
  TSendQueue FSendQueue;
  // ReceiveBatch buffers of ReceiveBufferSize bytes, made when the loop starts and not filled,
  // so only the pages that datagrams reach are touched. Server thread only.
  std::unique_ptr<std::uint8_t[]> FReceiveBuffers;
  // The source of the last datagram and its slot, so a run of datagrams from one peer looks the
  // table up once. Server thread only; forgotten whenever the table loses a peer.
  bool FLastSourceKnown = false;
  std::uint32_t FLastSourceAddress = 0;
  std::uint16_t FLastSourcePort = 0;
  std::uint16_t FLastSourceIndex = 0;
  std::string FLastSourceText;
  // Set while ClientIndex, RemoteAddress and RemotePort still hold the last source as its event
  // set them (handlers only read them), so a run of its datagrams sets them once.
  bool FEventPeerIsLastSource = false;
  TEvent FStartedEvent;  // set while the receive and send loop runs
  const int FReceiveBufferBytes;
  // Set from a successful bind to the end of the loop; the send operations and GetClientText
  // reach the queue and the table only while it is set.
  std::atomic<bool> FOpen{false};
  std::atomic<std::uint16_t> FBoundPort{0};
  std::atomic<std::uint16_t> FEventClientIndex{0};
};

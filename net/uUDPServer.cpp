#include "net/uUDPServer.h"

#include <array>
#include <memory>
#include <thread>
#include <utility>

namespace {

constexpr int WaitSliceMs = 50;
// Most datagrams taken in one pass of the loop without waiting in between.
constexpr int ReceiveBurst = 4 * tUDPServer::ReceiveBatch;

}  // namespace

tUDPServer::tUDPServer(std::string Address, tNotifyDataTCPEvent OnReceive,
                       tNotifyDataTCPEvent OnSend, tNotifyTCPEvent OnDisconnect,
                       tNotifyTCPEvent OnConnect, std::uint16_t Port, int ReceiveBufferBytes,
                       tNotifyTCPEvent OnReceiveBatchEnd)
    : FLocalPort(Port),
      FLocalAddress(std::move(Address)),
      FOnReceive(std::move(OnReceive)),
      FOnSend(std::move(OnSend)),
      FOnDisconnect(std::move(OnDisconnect)),
      FOnConnect(std::move(OnConnect)),
      FOnReceiveBatchEnd(std::move(OnReceiveBatchEnd)),
      FReceiveBufferBytes(ReceiveBufferBytes) {
  Start();
}

tUDPServer::~tUDPServer() {
  TerminateAndWait();
}

bool tUDPServer::AcceptsRequests() const {
  return FOpen.load(std::memory_order_acquire) && !Terminated();
}

void tUDPServer::SendToClient(std::uint16_t Index, const void* Data, std::int32_t Size) {
  if (AcceptsRequests()) {
    FSendQueue.Push(tSendQueueItem::ToClient(Index, Data, Size));
  }
}

void tUDPServer::SendToAddress(const std::string& Address, std::uint16_t Port, const void* Data,
                               std::int32_t Size) {
  if (AcceptsRequests()) {
    FSendQueue.Push(tSendQueueItem::ToAddress(Address, Port, Data, Size));
  }
}

void tUDPServer::SendToAll(const void* Data, std::int32_t Size) {
  if (!AcceptsRequests()) {
    return;
  }
  tUDPClient peer;
  for (std::size_t slot = 0; slot < TUDPClintList::SlotCount; ++slot) {
    if (FClients.Get(static_cast<std::int32_t>(slot), peer)) {
      FSendQueue.Push(tSendQueueItem::ToClient(static_cast<std::uint16_t>(slot), Data, Size));
    }
  }
}

void tUDPServer::DisconnectClient(std::uint16_t Index) {
  if (AcceptsRequests()) {
    FSendQueue.Push(tSendQueueItem::Remove(Index));
  }
}

std::string tUDPServer::GetClientText(std::uint16_t Index) const {
  tUDPClient peer;
  if (!FOpen.load(std::memory_order_acquire) || !FClients.Get(Index, peer)) {
    return {};
  }
  return peer.Address + ':' + std::to_string(peer.Port);
}

bool tUDPServer::WaitForStart(std::uint32_t Timeout, std::int32_t& ErrorCode) {
  if (FStartedEvent.WaitFor(Timeout)) {
    ErrorCode = 0;
    return true;
  }
  const std::int32_t error = LastError();
  ErrorCode = error != 0 ? error : ErrorTimeout;
  return false;
}

int tUDPServer::SetSocketOption(int Level, int OptName, const void* OptVal, int OptLen) {
  if (Terminated()) {
    return 1;
  }
  std::lock_guard lock(FSocketLock);
  if (FSocket == InvalidSocket) {
    return -1;
  }
  return ::SetSocketOption(FSocket, Level, OptName, OptVal, OptLen);
}

void tUDPServer::Execute() {
  const int started = StartNetwork();
  if (started != 0) {
    FLastError = started;
    return;
  }
  // Clean-up also when a handler's exception ends the thread.
  struct TNetworkUser {
    ~TNetworkUser() { CleanupNetwork(); }
  } networkUser;
  if (OpenSocket()) {
    RunLoop();
  }
}

bool tUDPServer::OpenSocket() {
  FLastError = 0;
  const TSocket socket = OpenUdpSocket();
  if (socket == InvalidSocket) {
    FLastError = LastSocketError();
    return false;
  }
  SetSocketNonBlocking(socket);
  std::uint32_t address = 0;
  int error = 0;
  // No host-name lookup. Text that is no IPv4 address must not become 255.255.255.255, which
  // a bind would accept as the broadcast address.
  if (!ParseIPv4Address(FLocalAddress, address)) {
    error = SocketErrorAddressNotAvailable;
  } else if (BindSocket(socket, address, FLocalPort) != 0) {
    error = LastSocketError();
  }
  if (error != 0) {
    FLastError = error;
    ::CloseSocket(socket);
    return false;
  }
  if (FReceiveBufferBytes > 0) {
    // As large as the system allows; a smaller buffer only means earlier loss in a burst.
    SetReceiveBufferSize(socket, FReceiveBufferBytes);
  }
  std::uint16_t bound = FLocalPort;
  GetLocalPort(socket, bound);
  FBoundPort.store(bound, std::memory_order_release);
  {
    std::lock_guard lock(FSocketLock);
    FSocket = socket;
  }
  FOpen.store(true, std::memory_order_release);
  return true;
}

void tUDPServer::RunLoop() {
  // Closes the socket and releases peers and requests, also when a handler throws.
  struct TLoopEnd {
    tUDPServer& Server;
    ~TLoopEnd() {
      Server.FStartedEvent.Reset();
      Server.FOpen.store(false, std::memory_order_release);
      Server.CloseSocket();
      Server.FClients.Clear();
      Server.ForgetLastSource();
      Server.FSendQueue.Clear();
    }
  } loopEnd{*this};

  FReceiveBuffers = std::make_unique_for_overwrite<std::uint8_t[]>(
      static_cast<std::size_t>(ReceiveBatch) * ReceiveBufferSize);
  FStartedEvent.Set();
  while (!Terminated()) {
    const unsigned work = WaitForWork();
    if ((work & WorkReceive) != 0) {
      int taken = ReceiveDatagrams(true);
      // A pass that has nothing to send takes what else is waiting, up to a bound, without a
      // wait in between; bursts then cost one receive call per batch of datagrams.
      int burst = taken;
      for (; work == WorkReceive && taken == ReceiveBatch && burst < ReceiveBurst && !Terminated();
           burst += taken) {
        taken = ReceiveDatagrams(false);
      }
      // Datagrams came and the socket is drained: while they keep coming, the next ones gather
      // in the socket buffer for a moment, so each wake-up of this thread, each receive call and
      // each hand-on to the handlers carries many of them instead of one or two.
      if (work == WorkReceive && burst > 0 && taken < ReceiveBatch && !Terminated()) {
        std::this_thread::sleep_for(GatherTime);
      }
    }
    if ((work & WorkSend) != 0) {
      SendNext();
    }
    if ((work & WorkStop) != 0) {
      break;
    }
  }
}

void tUDPServer::CloseSocket() {
  std::lock_guard lock(FSocketLock);
  if (FSocket != InvalidSocket) {
    ::CloseSocket(FSocket);
    FSocket = InvalidSocket;
  }
}

unsigned tUDPServer::WaitForWork() {
  // The queue's signal is looked at first: with both ready, the send path wins and still
  // makes one receive attempt.
  const TSocketWaitResult ready = WaitSocket(FSocket, false, &FSendQueue.NotEmpty(), WaitSliceMs);
  if (ready.Failed) {
    FLastError = LastSocketError();
    return WorkStop;
  }
  if (ready.Signalled) {
    const TSocketWaitResult writable = WaitSocket(FSocket, true, nullptr, WaitSliceMs);
    const bool timedOut = !writable.Failed && !writable.Readable && !writable.Writable;
    return timedOut ? 0 : WorkReceive | WorkSend;
  }
  return ready.Readable ? WorkReceive : 0u;
}

void tUDPServer::SetPeer(std::uint16_t Index, const std::string& Address, std::uint16_t Port) {
  FEventPeerIsLastSource = false;
  ClientIndex = Index;
  FEventClientIndex.store(Index, std::memory_order_relaxed);
  RemoteAddress = Address;
  RemotePort = Port;
}

int tUDPServer::ReceiveDatagrams(bool RecordWouldBlock) {
  std::array<TReceivedDatagram, ReceiveBatch> datagrams;
  const int taken = ::ReceiveDatagrams(FSocket, FReceiveBuffers.get(), ReceiveBufferSize,
                                       datagrams.data(), ReceiveBatch);
  if (taken < 0) {
    const int error = LastSocketError();
    // Finding nothing on a follow-up attempt is no error: a waiting pass would not have tried.
    if (RecordWouldBlock || !IsWouldBlockError(error)) {
      FLastError = error;
    }
    return 0;
  }
  // Every datagram taken is handed on, also after a stop request.
  bool raised = false;
  for (int i = 0; i < taken; ++i) {
    const TReceivedDatagram& datagram = datagrams[static_cast<std::size_t>(i)];
    if (static_cast<std::size_t>(datagram.Length) > ReceiveBufferSize) {
      // Too long for the buffer: lost, as Winsock reports it.
      FLastError = SocketErrorMessageSize;
      continue;
    }
    if (datagram.Length == 0) {
      continue;
    }
    SetDatagramPeer(datagram.FromAddress, datagram.FromPort);
    if (FOnReceive) {
      FOnReceive(*this, FReceiveBuffers.get() + static_cast<std::size_t>(i) * ReceiveBufferSize,
                 static_cast<std::uint32_t>(datagram.Length));
      raised = true;
    }
  }
  if (raised && FOnReceiveBatchEnd) {
    FOnReceiveBatchEnd(*this);
  }
  return taken;
}

void tUDPServer::SetDatagramPeer(std::uint32_t FromAddress, std::uint16_t FromPort) {
  if (FLastSourceKnown && FromAddress == FLastSourceAddress && FromPort == FLastSourcePort) {
    // The last event's peer is this one already unless something else set a peer since.
    if (!FEventPeerIsLastSource) {
      SetPeer(FLastSourceIndex, FLastSourceText, FromPort);
      FEventPeerIsLastSource = true;
    }
    return;
  }
  FLastSourceText = FormatIPv4Address(FromAddress);
  std::uint16_t index = 0;
  const bool known = FClients.Find(FLastSourceText, FromPort, index);
  if (!known) {
    index = FClients.Add(tUDPClient{FLastSourceText, FromPort});
  }
  // A full table gives no slot to remember.
  FLastSourceKnown = index != TUDPClintList::TableFull;
  FLastSourceAddress = FromAddress;
  FLastSourcePort = FromPort;
  FLastSourceIndex = index;
  SetPeer(index, FLastSourceText, FromPort);
  FEventPeerIsLastSource = FLastSourceKnown;
  if (!known && FOnConnect) {
    FOnConnect(*this);
  }
}

void tUDPServer::SendNext() {
  // The request is released when this returns, whatever happened, handler exceptions included.
  std::optional<tSendQueueItem> request = FSendQueue.Pop();
  if (!request) {
    return;
  }
  if (request->Size <= 0 && request->Kind != tSendQueueItem::KindRemove) {
    return;
  }
  bool newPeer = false;
  tUDPClient peer;
  switch (request->Kind) {
    case tSendQueueItem::KindToClient:
      if (!FClients.Get(request->ClientIndex, peer)) {
        if (FOnDisconnect) {
          SetPeer(request->ClientIndex, "0.0.0.0", 0);
          FOnDisconnect(*this);
        }
        return;
      }
      SetPeer(request->ClientIndex, peer.Address, peer.Port);
      break;
    case tSendQueueItem::KindToAddress: {
      peer = tUDPClient{request->AddressText(), request->Port};
      std::uint16_t index = 0;
      if (!FClients.Find(peer.Address, peer.Port, index)) {
        index = FClients.Add(peer);
        newPeer = true;
      }
      SetPeer(index, peer.Address, peer.Port);
      break;
    }
    case tSendQueueItem::KindRemove:
      ForgetLastSource();
      if (FClients.Get(request->ClientIndex, peer)) {
        SetPeer(request->ClientIndex, peer.Address, peer.Port);
        if (FClients.Remove(request->ClientIndex) && FOnDisconnect) {
          FOnDisconnect(*this);
        }
      }
      return;
    default:
      return;
  }

  int error = 0;
  std::uint32_t address = 0;
  // An address that is no IPv4 text fails here instead of going out as a broadcast.
  if (!ParseIPv4Address(RemoteAddress, address)) {
    error = SocketErrorAddressNotAvailable;
  } else if (SendDatagram(FSocket, request->Data.data(), request->Data.size(), address,
                          RemotePort) < 0) {
    error = LastSocketError();
  }
  if (error != 0) {
    FLastError = error;
    if (FOnDisconnect) {
      FOnDisconnect(*this);
    }
    return;
  }
  if (newPeer && FOnConnect) {
    FOnConnect(*this);
  }
  FLastError = 0;
  if (FOnSend) {
    FOnSend(*this, request->Data.data(), static_cast<std::uint32_t>(request->Size));
  }
}

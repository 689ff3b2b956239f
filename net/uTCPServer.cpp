#include "net/uTCPServer.h"

#include <chrono>
#include <exception>
#include <iterator>
#include <thread>
#include <vector>

namespace {

constexpr auto RetryPause = std::chrono::milliseconds(50);
constexpr std::uint32_t HighestClientNumber = 0xFFFF;

}  // namespace

TCustomTCPServer::TCustomTCPServer(const std::string& address, tNotifyDataTCPEvent onReceive,
                                   tNotifyDataTCPEvent onSend, tNotifyTCPEvent onDisconnect,
                                   tNotifyTCPEvent onConnect, std::uint16_t port)
    : OnReceive(std::move(onReceive)),
      OnSend(std::move(onSend)),
      OnDisconnect(std::move(onDisconnect)),
      OnConnect(std::move(onConnect)) {
  // The delivery thread runs from here on; it uses only the handlers and RemoveConnection.
  ReceiveManager = std::make_unique<TReceiveManager>(*this);
  SetListenPort(port);
  SetListenAddress(address);
  FLastErrorCode.store(0);
}

TCustomTCPServer::~TCustomTCPServer() {
  StopListener();
  // A listener asked to stop before its thread began skipped the body, and with it the release
  // of its connections and its delivery thread.
  StopAllConnections();
  ReceiveManager.reset();
}

void TCustomTCPServer::StopListener() {
  Terminate();
  CloseListenSocket();
  WaitFor();
}

void TCustomTCPServer::SetListenAddress(const std::string& address) {
  std::uint32_t bindAddress = 0;
  if (ParseIPv4Address(address, bindAddress)) {
    FListenAddress = address;
  } else if (ResolveIPv4Host(address, bindAddress)) {
    FListenAddress = FormatIPv4Address(bindAddress);
  } else {
    // Every listen attempt then fails with this code instead of binding some other address.
    FLastErrorCode.store(ErrorInvalidParameter);
    return;
  }
  FBindAddress = bindAddress;
  FAddressResolved = true;
}

bool TCustomTCPServer::WaitForStart(std::uint32_t timeoutMs, int& code) {
  if (StartedEvent.WaitFor(timeoutMs)) {
    code = 0;
    return true;
  }
  const int lastError = FLastErrorCode.load();
  code = lastError != 0 ? lastError : ErrorTimeout;
  return false;
}

void TCustomTCPServer::CloseListenSocket() {
  std::lock_guard lock(FSocketLock);
  if (ListenSocket != InvalidSocket) {
    ShutdownSocket(ListenSocket);
  }
}

void TCustomTCPServer::CloseOwnListenSocket() {
  TSocket listening = InvalidSocket;
  {
    std::lock_guard lock(FSocketLock);
    std::swap(listening, ListenSocket);
  }
  FBoundPort.store(0);
  if (listening != InvalidSocket) {
    ShutdownSocket(listening);
    CloseSocket(listening);
  }
}

void TCustomTCPServer::Execute() {
  bool networkStarted = false;
  if (FLastErrorCode.load() == 0) {
    const int started = StartNetwork();
    if (started != 0) {
      FLastErrorCode.store(started);
    } else {
      networkStarted = true;
      ListenAttempts();
    }
  }
  StartedEvent.Set();
  CloseOwnListenSocket();
  StopAllConnections();
  if (networkStarted) {
    CleanupNetwork();
  }
}

void TCustomTCPServer::ListenAttempts() {
  while (!Terminated()) {
    FLastErrorCode.store(0);
    StartedEvent.Set();

    const TSocket listening = OpenTcpSocket();
    if (listening == InvalidSocket) {
      FLastErrorCode.store(LastSocketError());
      if (Terminated()) {
        return;
      }
      std::this_thread::sleep_for(RetryPause);
      continue;
    }
    SetReuseAddress(listening);
    int error = 0;
    if (!FAddressResolved) {
      error = ErrorInvalidParameter;
    } else if (BindSocket(listening, FBindAddress, FListenPort) != 0 ||
               ::ListenSocket(listening, ListenBacklog) != 0) {
      error = LastSocketError();
    }
    if (error != 0) {
      FLastErrorCode.store(error);
      CloseSocket(listening);
      if (Terminated()) {
        return;
      }
      std::this_thread::sleep_for(RetryPause);
      continue;
    }

    std::uint16_t bound = 0;
    if (GetLocalPort(listening, bound) == 0) {
      FBoundPort.store(bound);
    }
    // Published before the stop request is looked at again: a stopper that sets the request and
    // then calls CloseListenSocket either finds the socket here and shuts it down (accept then
    // fails at once) or set its request before this point, and the accept loop sees it.
    {
      std::lock_guard lock(FSocketLock);
      ListenSocket = listening;
    }
    AcceptLoop(listening);
  }
}

void TCustomTCPServer::AcceptLoop(TSocket listening) {
  while (!Terminated() && FLastErrorCode.load() == 0) {
    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    const TSocket accepted = AcceptSocket(listening, peerAddress, peerPort);
    if (accepted == InvalidSocket) {
      const int error = LastSocketError();
      if (IsOutOfSocketsError(error)) {
        // No descriptor left for the client: it waits in the backlog until a connection or a
        // log file gives one back. Closing the listener would reset every client waiting there.
        std::this_thread::sleep_for(RetryPause);
        continue;
      }
      FLastErrorCode.store(error);
      CloseOwnListenSocket();
      return;
    }
    SetSocketNonBlocking(accepted);
    CreateConnection(accepted, peerAddress, peerPort);
  }
  CloseOwnListenSocket();
}

int TCustomTCPServer::CreateConnection(TSocket socket, std::uint32_t peerAddress,
                                       std::uint16_t peerPort) {
  return AddConnection(socket, peerAddress, peerPort, nullptr);
}

int TCustomTCPServer::AddConnection(TSocket socket, std::uint32_t peerAddress,
                                    std::uint16_t peerPort, TReceiveFilterClass filterClass) {
  std::lock_guard lock(Lock);
  std::uint32_t number = 0;
  while (number <= HighestClientNumber && FByNumber.contains(static_cast<std::uint16_t>(number))) {
    ++number;
  }
  if (number > HighestClientNumber) {
    // Every client number is in use: the client cannot be named, so it is turned away.
    CloseSocket(socket);
    return -1;
  }
  const auto clientIndex = static_cast<std::uint16_t>(number);
  std::unique_ptr<TCustomTCPConnection> connection;
  try {
    connection = std::make_unique<TCustomTCPConnection>(
        socket, clientIndex, this, FormatIPv4Address(peerAddress), peerPort, filterClass);
  } catch (const std::exception&) {
    // No thread, event or memory for this client (the system's thread or descriptor limit,
    // say): it is turned away, and the listener goes on accepting instead of ending with the
    // exception.
    CloseSocket(socket);
    return -1;
  }
  const TIPConnection* key = connection.get();
  const auto entry =
      Connections.insert(Connections.end(), TConnectionEntry{clientIndex, std::move(connection)});
  FByNumber.emplace(clientIndex, entry);
  FByObject.emplace(key, entry);
  return clientIndex;
}

TCustomTCPConnection* TCustomTCPServer::FindLocked(std::uint16_t clientIndex) const {
  const auto found = FByNumber.find(clientIndex);
  return found != FByNumber.end() ? found->second->Connection.get() : nullptr;
}

std::unique_ptr<TCustomTCPConnection> TCustomTCPServer::EraseLocked(
    TConnectionTable::iterator entry) {
  std::unique_ptr<TCustomTCPConnection> connection = std::move(entry->Connection);
  FByNumber.erase(entry->Number);
  FByObject.erase(connection.get());
  Connections.erase(entry);
  return connection;
}

TCustomTCPConnection* TCustomTCPServer::GetConnection(std::uint16_t clientIndex) {
  std::lock_guard lock(Lock);
  return FindLocked(clientIndex);
}

bool TCustomTCPServer::WithConnection(std::uint16_t clientIndex,
                                      const std::function<void(TCustomTCPConnection&)>& action) {
  std::lock_guard lock(Lock);
  TCustomTCPConnection* connection = FindLocked(clientIndex);
  if (connection == nullptr) {
    return false;
  }
  action(*connection);
  return true;
}

std::size_t TCustomTCPServer::ConnectionCount() const {
  std::lock_guard lock(Lock);
  return Connections.size();
}

void TCustomTCPServer::SendToConnection(const TIPConnection& connection, const void* data,
                                        std::int32_t size) {
  std::lock_guard lock(Lock);
  const auto found = FByObject.find(&connection);
  if (found != FByObject.end()) {
    found->second->Connection->Send(data, size);
  }
}

void TCustomTCPServer::SendToClient(std::uint16_t clientIndex, const void* data,
                                    std::int32_t size) {
  std::lock_guard lock(Lock);
  if (TCustomTCPConnection* connection = FindLocked(clientIndex)) {
    connection->Send(data, size);
  }
}

void TCustomTCPServer::SendToAll(const void* data, std::int32_t size) {
  std::lock_guard lock(Lock);
  for (const TConnectionEntry& entry : Connections) {
    entry.Connection->Send(data, size);
  }
}

void TCustomTCPServer::RemoveConnection(std::uint16_t clientIndex) {
  std::unique_ptr<TCustomTCPConnection> connection;
  {
    std::lock_guard lock(Lock);
    const auto found = FByNumber.find(clientIndex);
    if (found == FByNumber.end()) {
      return;
    }
    connection = EraseLocked(found->second);
  }
  connection->RequestStop();
  connection->WaitFor();
}

void TCustomTCPServer::StopAllConnections() {
  std::vector<std::unique_ptr<TCustomTCPConnection>> stopped;
  {
    std::lock_guard lock(Lock);
    while (!Connections.empty()) {
      std::unique_ptr<TCustomTCPConnection> connection = EraseLocked(std::prev(Connections.end()));
      // Still attached: what it received before the stop is queued, and the delivery thread
      // below outlives it.
      connection->RequestStop();
      stopped.push_back(std::move(connection));
    }
  }
  // Those waiting for room in the delivery queue look at their stop request too.
  if (ReceiveManager) {
    ReceiveManager->Queue().WakeWaiters();
  }
  // Connection threads never take Lock; waiting without it lets handlers that send go on.
  for (const auto& connection : stopped) {
    connection->WaitFor();
  }
  // Delivery stops next and delivers what is still queued; the connections those items refer to
  // are stopped but not yet released.
  if (ReceiveManager) {
    ReceiveManager->Terminate();
    ReceiveManager->WaitFor();
  }
  stopped.clear();
}

bool TCustomTCPServer::QueueEvent(tTCPEventItem& item) {
  return ReceiveManager->Queue().Push(item);
}

std::size_t TCustomTCPServer::QueueEvents(std::span<tTCPEventItem> items, std::uint32_t timeoutMs) {
  return ReceiveManager->Queue().PushWhenRoom(items, timeoutMs);
}

void TCustomTCPServer::WaitForQueueRoom(std::uint32_t timeoutMs) {
  ReceiveManager->Queue().WaitForRoom(timeoutMs);
}

std::int32_t TCustomTCPServer::QueuedEvents() const {
  return ReceiveManager->Queue().Count();
}

bool TCustomTCPServer::TakeReceiveGrowth(std::size_t bytes) {
  std::size_t left = FReceiveGrowthLeft.load(std::memory_order_relaxed);
  do {
    if (left < bytes) {
      return false;
    }
  } while (
      !FReceiveGrowthLeft.compare_exchange_weak(left, left - bytes, std::memory_order_relaxed));
  return true;
}

void TCustomTCPServer::ReturnReceiveGrowth(std::size_t bytes) {
  FReceiveGrowthLeft.fetch_add(bytes, std::memory_order_relaxed);
}

std::size_t TCustomTCPServer::QueuedEventBytes() const {
  return ReceiveManager->Queue().QueuedBytes();
}

std::int32_t TCustomTCPServer::PendingEvents() const {
  return ReceiveManager->Queue().Count() + ReceiveManager->ItemsInHand();
}

TSimpleTCPServer::TSimpleTCPServer(const std::string& address, tNotifyDataTCPEvent onReceive,
                                   tNotifyDataTCPEvent onSend, tNotifyTCPEvent onDisconnect,
                                   tNotifyTCPEvent onConnect, std::uint16_t port)
    : TCustomTCPServer(address, std::move(onReceive), std::move(onSend), std::move(onDisconnect),
                       std::move(onConnect), port) {
  Start();
}

TSimpleTCPServer::~TSimpleTCPServer() {
  StopListener();
}

std::unique_ptr<TCustomTCPServer> TSimpleTCPServer::Create(
    const std::string& address, tNotifyDataTCPEvent onReceive, tNotifyDataTCPEvent onSend,
    tNotifyTCPEvent onDisconnect, tNotifyTCPEvent onConnect, std::uint16_t port) {
  return std::make_unique<TSimpleTCPServer>(address, std::move(onReceive), std::move(onSend),
                                            std::move(onDisconnect), std::move(onConnect), port);
}

TTPKTTCPServer::TTPKTTCPServer(const std::string& address, tNotifyDataTCPEvent onReceive,
                               tNotifyDataTCPEvent onSend, tNotifyTCPEvent onDisconnect,
                               tNotifyTCPEvent onConnect, std::uint16_t port)
    : TCustomTCPServer(address, std::move(onReceive), std::move(onSend), std::move(onDisconnect),
                       std::move(onConnect), port) {
  Start();
}

TTPKTTCPServer::~TTPKTTCPServer() {
  StopListener();
}

std::unique_ptr<TCustomTCPServer> TTPKTTCPServer::Create(
    const std::string& address, tNotifyDataTCPEvent onReceive, tNotifyDataTCPEvent onSend,
    tNotifyTCPEvent onDisconnect, tNotifyTCPEvent onConnect, std::uint16_t port) {
  return std::make_unique<TTPKTTCPServer>(address, std::move(onReceive), std::move(onSend),
                                          std::move(onDisconnect), std::move(onConnect), port);
}

int TTPKTTCPServer::CreateConnection(TSocket socket, std::uint32_t peerAddress,
                                     std::uint16_t peerPort) {
  return AddConnection(socket, peerAddress, peerPort, &tTPKTReceiveFilter::CreateFilter);
}

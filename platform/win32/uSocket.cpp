#include "platform/uSocket.h"

// winsock2.h before windows.h, which would bring the old winsock.h.
#include <winsock2.h>

#include <mswsock.h>
#include <windows.h>
#include <ws2tcpip.h>

namespace {

// How long AcceptSocket waits in one step before it looks for a shutdown of the listener again.
constexpr long AcceptStepMs = 50;

SOCKET Sock(TSocket socket) {
  return static_cast<SOCKET>(socket);
}

HANDLE EventHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  result.sin_addr.s_addr = address;
  return result;
}

// Sockets may be used before any StartNetwork (test clients, the load tool): the first use starts
// Winsock once for the life of the process. This start is never cleaned up, so a component's
// CleanupNetwork never takes Winsock away from sockets that others still hold.
void EnsureWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 0), &data) == 0;
  }();
  (void)started;
}

// A shutdown does not end an accept that waits on a Windows listening socket, as it does on
// POSIX. The listener itself carries the mark instead: ShutdownSocket sets its linger option to an
// abortive close (on, 0 s), which a listener never has otherwise and which only means that clients
// still in its backlog are reset when it is closed, as they would be anyway. AcceptSocket reads the
// mark in every step of its wait. The mark is the socket's own state: it goes with the socket, so
// no table has to forget it before the handle is reused.
bool IsShutDownListener(SOCKET socket) {
  linger value{};
  int length = sizeof value;
  return getsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&value), &length) == 0 &&
         value.l_onoff != 0 && value.l_linger == 0;
}

int MarkListenerShutDown(SOCKET socket) {
  const linger value{1, 0};
  return setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                    sizeof value);
}

bool IsListening(SOCKET socket) {
  BOOL listening = FALSE;
  int length = sizeof listening;
  return getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening),
                    &length) == 0 &&
         listening != FALSE;
}

// Zero-time readiness of the socket, level-triggered like poll: readable also for a closed peer
// or a pending error, which the next receive reports.
bool SelectNow(SOCKET socket, bool forWrite, long timeoutMs, bool& readable, bool& writable) {
  fd_set readSet;
  fd_set writeSet;
  fd_set errorSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&errorSet);
  FD_SET(socket, &readSet);
  FD_SET(socket, &errorSet);
  if (forWrite) {
    FD_SET(socket, &writeSet);
  }
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  const int ready = select(0, &readSet, forWrite ? &writeSet : nullptr, &errorSet,
                           timeoutMs < 0 ? nullptr : &limit);
  if (ready == SOCKET_ERROR) {
    return false;
  }
  readable = FD_ISSET(socket, &readSet) != 0 || FD_ISSET(socket, &errorSet) != 0;
  writable = forWrite && FD_ISSET(socket, &writeSet) != 0;
  return true;
}

}  // namespace

const int SocketLevelSocket = SOL_SOCKET;
const int SocketLevelTcp = IPPROTO_TCP;
const int SocketOptionReuseAddr = SO_REUSEADDR;
const int SocketOptionRcvBuf = SO_RCVBUF;
const int SocketOptionNoDelay = TCP_NODELAY;
const int SocketErrorMessageSize = WSAEMSGSIZE;
const int SocketErrorAddressNotAvailable = WSAEADDRNOTAVAIL;
const int SocketErrorTimedOut = WSAETIMEDOUT;

std::string SocketErrorText(int error) {
  char buffer[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(error), 0, buffer, sizeof buffer, nullptr);
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' ||
                        buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
    --length;
  }
  return length > 0 ? std::string(buffer, length) : "socket error " + std::to_string(error);
}

int LastSocketError() {
  return WSAGetLastError();
}

bool IsWouldBlockError(int error) {
  return error == WSAEWOULDBLOCK;
}

bool IsOutOfSocketsError(int error) {
  return error == WSAEMFILE || error == WSAENOBUFS;
}

bool IsAddressInUseError(int error) {
  return error == WSAEADDRINUSE;
}

int StartNetwork() {
  WSADATA data{};
  const int result = WSAStartup(MAKEWORD(2, 0), &data);
  if (result != 0) {
    return result;
  }
  if (LOBYTE(data.wVersion) < 2) {
    WSACleanup();
    return 1;
  }
  return 0;
}

void CleanupNetwork() {
  WSACleanup();
}

bool ParseIPv4Address(const std::string& text, std::uint32_t& address) {
  // Older Winsock versions read the empty text as 0.0.0.0.
  if (text.empty()) {
    return false;
  }
  EnsureWinsock();
  const unsigned long parsed = inet_addr(text.c_str());
  // inet_addr gives INADDR_NONE for bad text and for the broadcast address alike.
  if (parsed == INADDR_NONE && text != "255.255.255.255") {
    return false;
  }
  address = static_cast<std::uint32_t>(parsed);
  return true;
}

std::string FormatIPv4Address(std::uint32_t address) {
  const std::uint32_t host = ntohl(address);
  return std::to_string(host >> 24) + '.' + std::to_string((host >> 16) & 0xFF) + '.' +
         std::to_string((host >> 8) & 0xFF) + '.' + std::to_string(host & 0xFF);
}

bool ResolveIPv4Host(const std::string& name, std::uint32_t& address) {
  // Windows resolves the empty name to the addresses of the local computer; it names no host.
  if (name.empty()) {
    return false;
  }
  EnsureWinsock();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return true;
}

int LookupIPv4Host(const std::string& name, std::uint32_t& address) {
  // Windows resolves the empty name to the addresses of the local computer; it names no host.
  if (name.empty()) {
    return WSAHOST_NOT_FOUND;
  }
  EnsureWinsock();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int result = getaddrinfo(name.c_str(), nullptr, &hints, &found); result != 0) {
    return result;
  }
  if (found == nullptr) {
    return WSAHOST_NOT_FOUND;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return 0;
}

// getaddrinfo's codes are WSA codes on Windows.
std::string HostLookupErrorText(int error) {
  return SocketErrorText(error);
}

TSocket OpenTcpSocket() {
  EnsureWinsock();
  // Overlapped-capable and not inherited by child processes (the tests start the server).
  SOCKET created = WSASocketA(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  return created == INVALID_SOCKET ? InvalidSocket : static_cast<TSocket>(created);
}

TSocket OpenUdpSocket() {
  EnsureWinsock();
  SOCKET created = WSASocketA(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (created == INVALID_SOCKET) {
    return InvalidSocket;
  }
  // Windows reports a port-unreachable answer to an earlier sendto as WSAECONNRESET on the next
  // recvfrom; a datagram server must go on receiving, as on POSIX, where no such error comes.
  BOOL reportResets = FALSE;
  DWORD returned = 0;
  WSAIoctl(created, SIO_UDP_CONNRESET, &reportResets, sizeof reportResets, nullptr, 0, &returned,
           nullptr, nullptr);
  return static_cast<TSocket>(created);
}

int CloseSocket(TSocket socket) {
  return closesocket(Sock(socket));
}

int ShutdownSocket(TSocket socket) {
  if (IsListening(Sock(socket))) {
    return MarkListenerShutDown(Sock(socket));
  }
  return shutdown(Sock(socket), SD_BOTH);
}

int ShutdownSocketWrite(TSocket socket) {
  return shutdown(Sock(socket), SD_SEND);
}

int SetSocketOption(TSocket socket, int level, int name, const void* value, int length) {
  return setsockopt(Sock(socket), level, name, static_cast<const char*>(value), length);
}

int SetSocketNonBlocking(TSocket socket) {
  u_long one = 1;
  return ioctlsocket(Sock(socket), FIONBIO, &one);
}

int SetReuseAddress(TSocket socket) {
  // Not SO_REUSEADDR: on Windows that lets another process bind the same port and take over its
  // traffic. SO_EXCLUSIVEADDRUSE makes a second bind fail with WSAEADDRINUSE, as on POSIX.
  const BOOL one = TRUE;
  return SetSocketOption(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, &one, sizeof one);
}

int SetTcpNoDelay(TSocket socket) {
  const BOOL one = TRUE;
  return SetSocketOption(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int SetReceiveBufferSize(TSocket socket, int bytes) {
  return SetSocketOption(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int BindSocket(TSocket socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in local = MakeAddress(address, port);
  return bind(Sock(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

int ListenSocket(TSocket socket, int backlog) {
  return listen(Sock(socket), backlog);
}

int GetLocalPort(TSocket socket, std::uint16_t& port) {
  sockaddr_in local{};
  int length = sizeof local;
  if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return -1;
  }
  port = ntohs(local.sin_port);
  return 0;
}

TSocket AcceptSocket(TSocket socket, std::uint32_t& peerAddress, std::uint16_t& peerPort) {
  const SOCKET listening = Sock(socket);
  // Non-blocking, so a client that went away between the wait and the accept cannot hold the
  // thread.
  u_long one = 1;
  ioctlsocket(listening, FIONBIO, &one);
  for (;;) {
    if (IsShutDownListener(listening)) {
      WSASetLastError(WSAESHUTDOWN);
      return InvalidSocket;
    }
    bool readable = false;
    bool writable = false;
    if (!SelectNow(listening, false, AcceptStepMs, readable, writable)) {
      return InvalidSocket;
    }
    if (!readable) {
      continue;
    }
    sockaddr_in peer{};
    int length = sizeof peer;
    const SOCKET accepted = accept(listening, reinterpret_cast<sockaddr*>(&peer), &length);
    if (accepted != INVALID_SOCKET && IsShutDownListener(listening)) {
      // Shut down while this one was taken: it is refused as the ones after it are.
      closesocket(accepted);
      WSASetLastError(WSAESHUTDOWN);
      return InvalidSocket;
    }
    if (accepted != INVALID_SOCKET) {
      SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
      // Blocking, as an accepted socket is on POSIX, whatever it took over from the listener.
      u_long zero = 0;
      ioctlsocket(accepted, FIONBIO, &zero);
      peerAddress = peer.sin_addr.s_addr;
      peerPort = ntohs(peer.sin_port);
      return static_cast<TSocket>(accepted);
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK && error != WSAECONNRESET && error != WSAEINTR) {
      return InvalidSocket;
    }
  }
}

int ConnectSocket(TSocket socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in remote = MakeAddress(address, port);
  return connect(Sock(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
}

int ConnectSocketWithin(TSocket socket, std::uint32_t address, std::uint16_t port, int timeoutMs) {
  if (SetSocketNonBlocking(socket) != 0) {
    return -1;
  }
  const sockaddr_in remote = MakeAddress(address, port);
  if (connect(Sock(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
    return 0;
  }
  if (WSAGetLastError() != WSAEWOULDBLOCK) {
    return -1;
  }
  // A refused connection shows in the exception set on Windows, not as writable.
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(Sock(socket), &writable);
  FD_SET(Sock(socket), &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int ready = select(0, nullptr, &writable, &failed, &limit);
  if (ready == SOCKET_ERROR) {
    return -1;
  }
  if (ready == 0) {
    WSASetLastError(WSAETIMEDOUT);
    return -1;
  }
  int error = 0;
  int length = sizeof error;
  if (getsockopt(Sock(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
      0) {
    return -1;
  }
  if (error != 0) {
    WSASetLastError(error);
    return -1;
  }
  return 0;
}

long ReceiveBytes(TSocket socket, void* buffer, std::size_t capacity) {
  WSABUF part{static_cast<ULONG>(capacity), static_cast<char*>(buffer)};
  DWORD received = 0;
  DWORD flags = 0;
  if (WSARecv(Sock(socket), &part, 1, &received, &flags, nullptr, nullptr) != 0) {
    return -1;
  }
  return static_cast<long>(received);
}

long SendBytes(TSocket socket, const void* data, std::size_t size) {
  WSABUF part{static_cast<ULONG>(size), const_cast<char*>(static_cast<const char*>(data))};
  DWORD sent = 0;
  if (WSASend(Sock(socket), &part, 1, &sent, 0, nullptr, nullptr) != 0) {
    return -1;
  }
  return static_cast<long>(sent);
}

bool SendAllBytes(TSocket socket, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const long sent = SendBytes(socket, bytes + done, size - done);
    if (sent <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

long ReceiveDatagram(TSocket socket, void* buffer, std::size_t capacity, std::uint32_t& fromAddress,
                     std::uint16_t& fromPort) {
  sockaddr_in from{};
  int length = sizeof from;
  const int received =
      recvfrom(Sock(socket), static_cast<char*>(buffer), static_cast<int>(capacity), 0,
               reinterpret_cast<sockaddr*>(&from), &length);
  if (received == SOCKET_ERROR) {
    if (WSAGetLastError() != WSAEMSGSIZE) {
      return -1;
    }
    // Winsock keeps the first capacity bytes and drops the rest without telling the real length:
    // any length beyond the buffer tells the caller that the datagram did not fit.
    fromAddress = from.sin_addr.s_addr;
    fromPort = ntohs(from.sin_port);
    return static_cast<long>(capacity) + 1;
  }
  fromAddress = from.sin_addr.s_addr;
  fromPort = ntohs(from.sin_port);
  return received;
}

int ReceiveDatagrams(TSocket socket, void* buffers, std::size_t capacity,
                     TReceivedDatagram* datagrams, int count) {
  // Winsock has no batch receive: one recvfrom per datagram, until none waits.
  auto* bytes = static_cast<char*>(buffers);
  int received = 0;
  while (received < count) {
    TReceivedDatagram& datagram = datagrams[received];
    datagram.Length = ReceiveDatagram(socket, bytes + static_cast<std::size_t>(received) * capacity,
                                      capacity, datagram.FromAddress, datagram.FromPort);
    if (datagram.Length < 0) {
      break;
    }
    ++received;
  }
  // What ended a batch of some datagrams is the next call's to report.
  return received > 0 ? received : -1;
}

long SendDatagram(TSocket socket, const void* data, std::size_t size, std::uint32_t toAddress,
                  std::uint16_t toPort) {
  const sockaddr_in to = MakeAddress(toAddress, toPort);
  return sendto(Sock(socket), static_cast<const char*>(data), static_cast<int>(size), 0,
                reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int SendDatagrams(TSocket socket, const TDatagramToSend* datagrams, int count,
                  std::uint32_t toAddress, std::uint16_t toPort) {
  // Winsock has no batch send: one sendto per datagram, until one fails.
  int sent = 0;
  while (sent < count) {
    if (SendDatagram(socket, datagrams[sent].Data, datagrams[sent].Size, toAddress, toPort) < 0) {
      break;
    }
    ++sent;
  }
  // What stopped a list after its first datagrams is the next call's to report.
  return sent > 0 || count <= 0 ? sent : -1;
}

// The event object that WSACreateEvent makes (manual reset, not signalled), made with CreateEventA
// because a signal may be built before any Winsock start-up.
TSocketSignal::TSocketSignal()
    : FHandle(reinterpret_cast<std::intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {}

bool TSocketSignal::IsValid() const {
  return EventHandle(FHandle) != nullptr;
}

TSocketSignal::~TSocketSignal() {
  if (EventHandle(FHandle) != nullptr) {
    CloseHandle(EventHandle(FHandle));
  }
}

void TSocketSignal::Set() {
  SetEvent(EventHandle(FHandle));
}

void TSocketSignal::Reset() {
  ResetEvent(EventHandle(FHandle));
}

bool TSocketSignal::IsSet() const {
  return WaitForSingleObject(EventHandle(FHandle), 0) == WAIT_OBJECT_0;
}

// Without a signal, select gives poll's behaviour and leaves the socket's blocking mode alone (the
// test clients block). With a signal, the socket's event object and the signal are waited on
// together; WSAEventSelect records at once every condition already true, and leaves the socket
// non-blocking, which every caller that passes a signal has chosen anyway. The readiness reported
// is always read afterwards, level-triggered, so FD_WRITE's and FD_CLOSE's one-shot recording
// never hides a condition that poll would report.
TSocketWaitResult WaitSocket(TSocket socket, bool forWrite, const TSocketSignal* signal,
                             int timeoutMs) {
  TSocketWaitResult result;
  const SOCKET handle = Sock(socket);
  if (signal == nullptr) {
    if (!SelectNow(handle, forWrite, timeoutMs, result.Readable, result.Writable)) {
      result.Failed = true;
    }
    return result;
  }

  if (!SelectNow(handle, forWrite, 0, result.Readable, result.Writable)) {
    result.Failed = true;
    return result;
  }
  result.Signalled = signal->IsSet();
  if (result.Readable || result.Writable || result.Signalled || timeoutMs == 0) {
    return result;
  }

  const WSAEVENT socketEvent = WSACreateEvent();
  if (socketEvent == WSA_INVALID_EVENT) {
    result.Failed = true;
    return result;
  }
  const long conditions = FD_READ | FD_ACCEPT | FD_CLOSE | (forWrite ? FD_WRITE : 0);
  if (WSAEventSelect(handle, socketEvent, conditions) != 0) {
    const int error = WSAGetLastError();
    WSACloseEvent(socketEvent);
    WSASetLastError(error);
    result.Failed = true;
    return result;
  }
  const HANDLE handles[2] = {EventHandle(signal->NativeHandle()), socketEvent};
  const DWORD waited = WaitForMultipleObjects(
      2, handles, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  const DWORD waitError = GetLastError();
  WSANETWORKEVENTS ignored{};
  WSAEnumNetworkEvents(handle, socketEvent, &ignored);
  WSAEventSelect(handle, nullptr, 0);
  WSACloseEvent(socketEvent);
  if (waited == WAIT_FAILED) {
    WSASetLastError(static_cast<int>(waitError));
    result.Failed = true;
    return result;
  }
  if (!SelectNow(handle, forWrite, 0, result.Readable, result.Writable)) {
    result.Failed = true;
    return result;
  }
  result.Signalled = signal->IsSet();
  return result;
}

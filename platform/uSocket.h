#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The socket layer: the few IPv4 socket calls the transports make, the same on every platform.
// Each call returns the platform's result and leaves the platform's error code for
// LastSocketError() (errno, WSAGetLastError()) unchanged, since logs print it in decimal.

// A descriptor on POSIX, a SOCKET on Windows; both fit.
using TSocket = std::intptr_t;
inline constexpr TSocket InvalidSocket = -1;

int LastSocketError();
// True for the code of a non-blocking call that found nothing to do (EAGAIN, WSAEWOULDBLOCK).
bool IsWouldBlockError(int error);
// True for the code of a call that found no descriptor or buffer left for a new socket (EMFILE,
// ENFILE, ENOBUFS, ENOMEM; WSAEMFILE, WSAENOBUFS): a shortage that passes.
bool IsOutOfSocketsError(int error);
// True for the code of a bind to an address and port already in use (EADDRINUSE, WSAEADDRINUSE).
bool IsAddressInUseError(int error);
// Codes the transports record themselves, in the platform's numbering:
// a datagram longer than the buffer (EMSGSIZE, WSAEMSGSIZE);
extern const int SocketErrorMessageSize;
// an address that is no IPv4 text (EADDRNOTAVAIL, WSAEADDRNOTAVAIL);
extern const int SocketErrorAddressNotAvailable;
// a connection attempt that ran out of time (ETIMEDOUT, WSAETIMEDOUT).
extern const int SocketErrorTimedOut;
// The system's text for a socket error code (strerror, FormatMessage), for messages to users.
std::string SocketErrorText(int error);

// Winsock start-up (version 2.0) and clean-up; no-ops elsewhere. 0 or the error code.
int StartNetwork();
void CleanupNetwork();

// IPv4 addresses are kept in network byte order.
// inet_addr: true for a dotted IPv4 literal ("10.1.2.3"; "255.255.255.255" included).
bool ParseIPv4Address(const std::string& text, std::uint32_t& address);
// "a.b.c.d", each part in decimal without leading zeros.
std::string FormatIPv4Address(std::uint32_t address);
// Host name lookup: true with the first IPv4 address of the name.
bool ResolveIPv4Host(const std::string& name, std::uint32_t& address);
// The same lookup with the resolver's code: 0 with the first IPv4 address of the name, or the
// resolver's error code (an EAI_ value of getaddrinfo, a WSA code on Windows), which
// HostLookupErrorText describes.
int LookupIPv4Host(const std::string& name, std::uint32_t& address);
std::string HostLookupErrorText(int error);

TSocket OpenTcpSocket();
TSocket OpenUdpSocket();
int CloseSocket(TSocket socket);
// Both directions; wakes a thread blocked in accept or recv on the socket.
int ShutdownSocket(TSocket socket);
// The sending direction only (SHUT_WR, SD_SEND): the peer reads the end of the stream after the
// last byte sent, and the socket can still receive. 0 or -1.
int ShutdownSocketWrite(TSocket socket);

// setsockopt: 0 or -1.
int SetSocketOption(TSocket socket, int level, int name, const void* value, int length);
int SetSocketNonBlocking(TSocket socket);
int SetReuseAddress(TSocket socket);
int SetTcpNoDelay(TSocket socket);
// SO_RCVBUF, as far as the system allows.
int SetReceiveBufferSize(TSocket socket, int bytes);
// The option levels and names that callers of SetSocketOption use.
extern const int SocketLevelSocket;      // SOL_SOCKET
extern const int SocketLevelTcp;         // IPPROTO_TCP
extern const int SocketOptionReuseAddr;  // SO_REUSEADDR
extern const int SocketOptionRcvBuf;     // SO_RCVBUF
extern const int SocketOptionNoDelay;    // TCP_NODELAY

int BindSocket(TSocket socket, std::uint32_t address, std::uint16_t port);
int ListenSocket(TSocket socket, int backlog);
// The port the socket is bound to (host order), for listeners bound to port 0.
int GetLocalPort(TSocket socket, std::uint16_t& port);
// Blocks; InvalidSocket on failure. Peer address in network order, port in host order.
// A connection that went away while it waited in the backlog, and an interrupted call, are
// not failures: the call goes on waiting for the next client.
TSocket AcceptSocket(TSocket socket, std::uint32_t& peerAddress, std::uint16_t& peerPort);
int ConnectSocket(TSocket socket, std::uint32_t address, std::uint16_t port);
// Connects within timeoutMs: 0, or -1 with LastSocketError() telling why (SocketErrorTimedOut
// when the time ran out, the refusal's code when the peer refused). Leaves the socket
// non-blocking in either case.
int ConnectSocketWithin(TSocket socket, std::uint32_t address, std::uint16_t port, int timeoutMs);

// Bytes moved, 0 when the peer closed (receive), -1 on error. Sending never raises SIGPIPE.
// An interrupted call is repeated.
long ReceiveBytes(TSocket socket, void* buffer, std::size_t capacity);
long SendBytes(TSocket socket, const void* data, std::size_t size);
// Sends all size bytes on a blocking socket, repeating after partial sends. False on an error
// (LastSocketError() tells which) or a send that moved nothing.
bool SendAllBytes(TSocket socket, const void* data, std::size_t size);
// One datagram and its source. Returns the datagram's real length, which is larger than capacity
// when it did not fit (the bytes beyond capacity are lost), or -1 on error.
long ReceiveDatagram(TSocket socket, void* buffer, std::size_t capacity, std::uint32_t& fromAddress,
                     std::uint16_t& fromPort);
long SendDatagram(TSocket socket, const void* data, std::size_t size, std::uint32_t toAddress,
                  std::uint16_t toPort);

// One datagram taken by ReceiveDatagrams.
struct TReceivedDatagram {
  // The datagram's real length; larger than the capacity when it did not fit.
  long Length = 0;
  std::uint32_t FromAddress = 0;  // network order
  std::uint16_t FromPort = 0;     // host order
};
// Up to count waiting datagrams of a non-blocking socket, in arrival order, datagram i into
// buffers + i * capacity with its length and source in datagrams[i] (one recvmmsg call on Linux;
// recvfrom in turn on Windows). Returns how many were taken (at least 1), or -1 when none could
// be (LastSocketError() tells why; the would-block code when none was waiting).
int ReceiveDatagrams(TSocket socket, void* buffers, std::size_t capacity,
                     TReceivedDatagram* datagrams, int count);

// One datagram for SendDatagrams: size bytes at data.
struct TDatagramToSend {
  const void* Data = nullptr;
  std::size_t Size = 0;
};
// Sends count datagrams, in their order, to one address (network order) and port (host order):
// one sendmmsg call per batch on Linux, sendto in turn on Windows. Returns how many were sent
// from the first on (fewer than count when the socket took no more: a non-blocking socket whose
// buffer is full, or an error after the first), or -1 when none was (LastSocketError() tells
// why; count 0 sends nothing and returns 0). An interrupted call is repeated; sending never
// raises SIGPIPE.
int SendDatagrams(TSocket socket, const TDatagramToSend* datagrams, int count,
                  std::uint32_t toAddress, std::uint16_t toPort);

// A manual-reset event that a thread can wait on together with a socket (an eventfd on Linux,
// an event object on Windows). Set, Reset and IsSet: any thread.
class TSocketSignal {
 public:
  TSocketSignal();
  ~TSocketSignal();
  TSocketSignal(const TSocketSignal&) = delete;
  TSocketSignal& operator=(const TSocketSignal&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // False when the system had no event to give (no descriptor or handle left): Set then wakes
  // no wait.
  bool IsValid() const;
  std::intptr_t NativeHandle() const { return FHandle; }

 private:
  std::intptr_t FHandle;
};

struct TSocketWaitResult {
  bool Readable = false;  // data, a closed peer or an error waits on the socket
  bool Writable = false;
  bool Signalled = false;  // the signal is set
  bool Failed = false;     // the wait itself failed; LastSocketError() tells why
};

// Waits at most timeoutMs for the socket to become readable (and writable, when asked) or the
// signal (may be null) to be set. Nothing set after the time-out.
TSocketWaitResult WaitSocket(TSocket socket, bool forWrite, const TSocketSignal* signal,
                             int timeoutMs);

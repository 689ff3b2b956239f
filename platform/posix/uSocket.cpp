#include "platform/uSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

int Fd(TSocket socket) {
  return static_cast<int>(socket);
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_port = htons(port);
  result.sin_addr.s_addr = address;
  return result;
}

}  // namespace

const int SocketLevelSocket = SOL_SOCKET;
const int SocketLevelTcp = IPPROTO_TCP;
const int SocketOptionReuseAddr = SO_REUSEADDR;
const int SocketOptionRcvBuf = SO_RCVBUF;
const int SocketOptionNoDelay = TCP_NODELAY;
const int SocketErrorMessageSize = EMSGSIZE;
const int SocketErrorAddressNotAvailable = EADDRNOTAVAIL;
const int SocketErrorTimedOut = ETIMEDOUT;

std::string SocketErrorText(int error) {
  return std::strerror(error);
}

int LastSocketError() {
  return errno;
}

bool IsWouldBlockError(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

bool IsOutOfSocketsError(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

bool IsAddressInUseError(int error) {
  return error == EADDRINUSE;
}

int StartNetwork() {
  return 0;
}

void CleanupNetwork() {}

bool ParseIPv4Address(const std::string& text, std::uint32_t& address) {
  in_addr parsed{};
  if (inet_aton(text.c_str(), &parsed) == 0) {
    return false;
  }
  address = parsed.s_addr;
  return true;
}

std::string FormatIPv4Address(std::uint32_t address) {
  const std::uint32_t host = ntohl(address);
  return std::to_string(host >> 24) + '.' + std::to_string((host >> 16) & 0xFF) + '.' +
         std::to_string((host >> 8) & 0xFF) + '.' + std::to_string(host & 0xFF);
}

bool ResolveIPv4Host(const std::string& name, std::uint32_t& address) {
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
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (result != 0) {
    return result;
  }
  if (found == nullptr) {
    return EAI_NONAME;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(found);
  return 0;
}

std::string HostLookupErrorText(int error) {
  return gai_strerror(error);
}

TSocket OpenTcpSocket() {
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

TSocket OpenUdpSocket() {
  return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

int CloseSocket(TSocket socket) {
  return close(Fd(socket));
}

int ShutdownSocket(TSocket socket) {
  return shutdown(Fd(socket), SHUT_RDWR);
}

int ShutdownSocketWrite(TSocket socket) {
  return shutdown(Fd(socket), SHUT_WR);
}

int SetSocketOption(TSocket socket, int level, int name, const void* value, int length) {
  return setsockopt(Fd(socket), level, name, value, static_cast<socklen_t>(length));
}

int SetSocketNonBlocking(TSocket socket) {
  const int flags = fcntl(Fd(socket), F_GETFL, 0);
  return flags < 0 ? -1 : fcntl(Fd(socket), F_SETFL, flags | O_NONBLOCK);
}

int SetReuseAddress(TSocket socket) {
  const int one = 1;
  return SetSocketOption(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

int SetTcpNoDelay(TSocket socket) {
  const int one = 1;
  return SetSocketOption(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int SetReceiveBufferSize(TSocket socket, int bytes) {
  // SO_RCVBUFFORCE passes the system limit where the process may; otherwise take what is allowed.
  if (setsockopt(Fd(socket), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) {
    return 0;
  }
  return SetSocketOption(socket, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int BindSocket(TSocket socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in local = MakeAddress(address, port);
  return bind(Fd(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

int ListenSocket(TSocket socket, int backlog) {
  return listen(Fd(socket), backlog);
}

int GetLocalPort(TSocket socket, std::uint16_t& port) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    return -1;
  }
  port = ntohs(local.sin_port);
  return 0;
}

TSocket AcceptSocket(TSocket socket, std::uint32_t& peerAddress, std::uint16_t& peerPort) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  int accepted = -1;
  do {
    length = sizeof peer;
    accepted = accept4(Fd(socket), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
  } while (accepted < 0 && (errno == EINTR || errno == ECONNABORTED));
  if (accepted >= 0) {
    peerAddress = peer.sin_addr.s_addr;
    peerPort = ntohs(peer.sin_port);
  }
  return accepted;
}

int ConnectSocket(TSocket socket, std::uint32_t address, std::uint16_t port) {
  const sockaddr_in remote = MakeAddress(address, port);
  return connect(Fd(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
}

int ConnectSocketWithin(TSocket socket, std::uint32_t address, std::uint16_t port, int timeoutMs) {
  if (SetSocketNonBlocking(socket) != 0) {
    return -1;
  }
  const sockaddr_in remote = MakeAddress(address, port);
  if (connect(Fd(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
    return 0;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    return -1;
  }
  pollfd entry{Fd(socket), POLLOUT, 0};
  int ready = 0;
  do {
    ready = poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    return -1;
  }
  if (ready == 0) {
    errno = ETIMEDOUT;
    return -1;
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return -1;
  }
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

long ReceiveBytes(TSocket socket, void* buffer, std::size_t capacity) {
  ssize_t received = 0;
  do {
    received = recv(Fd(socket), buffer, capacity, 0);
  } while (received < 0 && errno == EINTR);
  return received;
}

long SendBytes(TSocket socket, const void* data, std::size_t size) {
  ssize_t sent = 0;
  do {
    sent = send(Fd(socket), data, size, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
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
  socklen_t length = sizeof from;
  const ssize_t received = recvfrom(Fd(socket), buffer, capacity, MSG_TRUNC,
                                    reinterpret_cast<sockaddr*>(&from), &length);
  if (received >= 0) {
    fromAddress = from.sin_addr.s_addr;
    fromPort = ntohs(from.sin_port);
  }
  return received;
}

int ReceiveDatagrams(TSocket socket, void* buffers, std::size_t capacity,
                     TReceivedDatagram* datagrams, int count) {
  // One call for a batch; the headers live on the stack, so a batch allocates nothing.
  constexpr int MaxBatch = 64;
  count = std::min(count, MaxBatch);
  if (count <= 0) {
    return 0;
  }
  mmsghdr messages[MaxBatch];
  iovec parts[MaxBatch];
  sockaddr_in sources[MaxBatch];
  auto* bytes = static_cast<char*>(buffers);
  for (int i = 0; i < count; ++i) {
    parts[i].iov_base = bytes + static_cast<std::size_t>(i) * capacity;
    parts[i].iov_len = capacity;
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &sources[i];
    messages[i].msg_hdr.msg_namelen = sizeof sources[i];
    messages[i].msg_hdr.msg_iov = &parts[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  int received = 0;
  do {
    // MSG_TRUNC: each length is the datagram's real one, so one that did not fit shows.
    received = recvmmsg(Fd(socket), messages, static_cast<unsigned>(count), MSG_TRUNC, nullptr);
  } while (received < 0 && errno == EINTR);
  for (int i = 0; i < received; ++i) {
    datagrams[i].Length = static_cast<long>(messages[i].msg_len);
    datagrams[i].FromAddress = sources[i].sin_addr.s_addr;
    datagrams[i].FromPort = ntohs(sources[i].sin_port);
  }
  return received;
}

long SendDatagram(TSocket socket, const void* data, std::size_t size, std::uint32_t toAddress,
                  std::uint16_t toPort) {
  const sockaddr_in to = MakeAddress(toAddress, toPort);
  return sendto(Fd(socket), data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                sizeof to);
}

int SendDatagrams(TSocket socket, const TDatagramToSend* datagrams, int count,
                  std::uint32_t toAddress, std::uint16_t toPort) {
  // The headers of a batch live on the stack; a longer list goes out in several calls.
  constexpr int MaxBatch = 64;
  const sockaddr_in to = MakeAddress(toAddress, toPort);
  mmsghdr messages[MaxBatch];
  iovec parts[MaxBatch];
  int sent = 0;
  while (sent < count) {
    const int batch = std::min(count - sent, MaxBatch);
    for (int i = 0; i < batch; ++i) {
      parts[i].iov_base = const_cast<void*>(datagrams[sent + i].Data);
      parts[i].iov_len = datagrams[sent + i].Size;
      messages[i] = mmsghdr{};
      messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
      messages[i].msg_hdr.msg_namelen = sizeof to;
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int done = 0;
    do {
      done = sendmmsg(Fd(socket), messages, static_cast<unsigned>(batch), MSG_NOSIGNAL);
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
      // What stopped a list after its first datagrams is the next call's to report.
      return sent > 0 ? sent : -1;
    }
    sent += done;
    if (done < batch) {
      break;
    }
  }
  return sent;
}

TSocketSignal::TSocketSignal() : FHandle(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TSocketSignal::~TSocketSignal() {
  if (FHandle >= 0) {
    close(static_cast<int>(FHandle));
  }
}

void TSocketSignal::Set() {
  const std::uint64_t one = 1;
  // The counter only needs to be non-zero; a write that finds it saturated changes nothing.
  [[maybe_unused]] const ssize_t written = write(static_cast<int>(FHandle), &one, sizeof one);
}

void TSocketSignal::Reset() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t drained = read(static_cast<int>(FHandle), &count, sizeof count);
}

bool TSocketSignal::IsValid() const {
  return FHandle >= 0;
}

bool TSocketSignal::IsSet() const {
  pollfd entry{static_cast<int>(FHandle), POLLIN, 0};
  return poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0;
}

TSocketWaitResult WaitSocket(TSocket socket, bool forWrite, const TSocketSignal* signal,
                             int timeoutMs) {
  pollfd entries[2] = {
      {Fd(socket), static_cast<short>(POLLIN | (forWrite ? POLLOUT : 0)), 0},
      {signal != nullptr ? static_cast<int>(signal->NativeHandle()) : -1, POLLIN, 0},
  };
  TSocketWaitResult result;
  int ready = 0;
  do {
    ready = poll(entries, signal != nullptr ? 2 : 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) {
    result.Failed = true;
    return result;
  }
  result.Readable = (entries[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  result.Writable = (entries[0].revents & POLLOUT) != 0;
  result.Signalled = signal != nullptr && (entries[1].revents & POLLIN) != 0;
  return result;
}

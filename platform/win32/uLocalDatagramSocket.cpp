// The local datagram socket on Windows. Windows knows AF_UNIX for stream sockets only (and Wine 8
// not at all: 10047), so Bind asks for a datagram socket anyway and reports the platform's refusal
// (WSAESOCKTNOSUPPORT, WSAEAFNOSUPPORT, ...) rather than pretending; where the system does give
// one, it is bound to the path and used as on POSIX. Windows has no abstract namespace.
#include <winsock2.h>
// afunix.h needs winsock2.h first.
#include <afunix.h>

#include <cstring>
#include <vector>

#include "platform/uLocalDatagramSocket.h"
#include "platform/uSocket.h"

TLocalDatagramSocket::~TLocalDatagramSocket() {
  if (FSocket >= 0) {
    closesocket(static_cast<SOCKET>(FSocket));
    DeleteFileA(FPath.c_str());
  }
}

int TLocalDatagramSocket::Bind(const std::string& path) {
  sockaddr_un address{};
  if (FSocket >= 0 || path.empty() || path.front() == '@' ||
      path.size() >= sizeof address.sun_path) {
    return WSAEINVAL;
  }
  if (const int error = StartNetwork(); error != 0) {
    return error;
  }
  const SOCKET socketHandle = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (socketHandle == INVALID_SOCKET) {
    return WSAGetLastError();
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (bind(socketHandle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = WSAGetLastError();
    closesocket(socketHandle);
    return error;
  }
  FSocket = static_cast<std::intptr_t>(socketHandle);
  FPath = path;
  return 0;
}

bool TLocalDatagramSocket::Receive(std::string& text, std::uint32_t timeoutMs) {
  if (FSocket < 0) {
    return false;
  }
  const auto socketHandle = static_cast<SOCKET>(FSocket);
  WSAPOLLFD wait{socketHandle, POLLRDNORM, 0};
  if (WSAPoll(&wait, 1, static_cast<INT>(timeoutMs)) <= 0) {
    return false;
  }
  std::vector<char> buffer(4096);
  const int length = recv(socketHandle, buffer.data(), static_cast<int>(buffer.size()), 0);
  if (length < 0) {
    return false;
  }
  text.assign(buffer.data(), static_cast<std::size_t>(length));
  return true;
}

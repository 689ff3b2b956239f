#include "platform/uLocalDatagramSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

TLocalDatagramSocket::~TLocalDatagramSocket() {
  if (FSocket >= 0) {
    close(static_cast<int>(FSocket));
    if (FPath.front() != '@') {
      unlink(FPath.c_str());
    }
  }
}

int TLocalDatagramSocket::Bind(const std::string& path) {
  sockaddr_un address{};
  if (FSocket >= 0 || path.empty() || path.size() >= sizeof address.sun_path) {
    return EINVAL;
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return errno;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  socklen_t length = sizeof address;
  if (path.front() == '@') {
    // The abstract namespace: no file, and the name's length is the address's.
    address.sun_path[0] = '\0';
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int error = errno;
    close(fd);
    return error;
  }
  FSocket = fd;
  FPath = path;
  return 0;
}

bool TLocalDatagramSocket::Receive(std::string& text, std::uint32_t timeoutMs) {
  if (FSocket < 0) {
    return false;
  }
  const int fd = static_cast<int>(FSocket);
  pollfd wait{fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = poll(&wait, 1, static_cast<int>(timeoutMs));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) {
    return false;
  }
  std::vector<char> buffer(4096);
  const ssize_t length = recv(fd, buffer.data(), buffer.size(), 0);
  if (length < 0) {
    return false;
  }
  text.assign(buffer.data(), static_cast<std::size_t>(length));
  return true;
}

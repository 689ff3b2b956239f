#pragma once

#include <cstdint>
#include <string>

// A datagram socket bound to a file-system path (AF_UNIX on POSIX): what a service manager's
// notification socket looks like, so that tests can stand in for systemd. Owned by one thread.
class TLocalDatagramSocket {
 public:
  TLocalDatagramSocket() = default;
  // Closes the socket and removes its path.
  ~TLocalDatagramSocket();
  TLocalDatagramSocket(const TLocalDatagramSocket&) = delete;
  TLocalDatagramSocket& operator=(const TLocalDatagramSocket&) = delete;

  // Creates the socket at path (which must not exist), or, for a name that begins with '@', in the
  // abstract namespace where the platform has one (no file; free of the short path limit).
  // 0 or the platform's error code.
  int Bind(const std::string& path);
  // Waits up to timeoutMs for one datagram; true with its bytes in text.
  bool Receive(std::string& text, std::uint32_t timeoutMs);

 private:
  std::intptr_t FSocket = -1;
  std::string FPath;
};

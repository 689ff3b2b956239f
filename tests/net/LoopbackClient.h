#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "platform/uSocket.h"

// A plain blocking TCP client on 127.0.0.1 for tests: connect, send, receive with a time-out.
// Owned and used by one test thread.
class TLoopbackClient {
 public:
  // Not connected until Connect.
  TLoopbackClient() = default;
  explicit TLoopbackClient(std::uint16_t port) { Connect(port); }
  ~TLoopbackClient() { Close(); }
  TLoopbackClient(const TLoopbackClient&) = delete;
  TLoopbackClient& operator=(const TLoopbackClient&) = delete;

  // Closes a connection it has and connects anew. False when the connection was refused.
  bool Connect(std::uint16_t port) {
    Close();
    FLocalPort = 0;
    std::uint32_t loopback = 0;
    ParseIPv4Address("127.0.0.1", loopback);
    FSocket = OpenTcpSocket();
    if (FSocket != InvalidSocket && ConnectSocket(FSocket, loopback, port) != 0) {
      Close();
    }
    if (FSocket != InvalidSocket) {
      GetLocalPort(FSocket, FLocalPort);
    }
    return Connected();
  }
  bool Connected() const { return FSocket != InvalidSocket; }
  std::uint16_t LocalPort() const { return FLocalPort; }

  // Sends every byte (blocking). False on a socket error.
  bool Send(const std::string& bytes) { return SendAllBytes(FSocket, bytes.data(), bytes.size()); }

  // Up to count bytes, waiting at most timeoutMs in all; fewer when the time ran out or the
  // server closed.
  std::string Receive(std::size_t count, int timeoutMs = 10000) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (received.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0 || !WaitSocket(FSocket, false, nullptr, static_cast<int>(left)).Readable) {
        break;
      }
      const std::size_t wanted = std::min(sizeof buffer, count - received.size());
      const long got = ReceiveBytes(FSocket, buffer, wanted);
      if (got <= 0) {
        break;
      }
      received.append(buffer, static_cast<std::size_t>(got));
    }
    return received;
  }

  // What one read brings within timeoutMs, appended to into. False on time-out, close or error.
  bool ReceiveAvailable(std::string& into, int timeoutMs) {
    if (!WaitSocket(FSocket, false, nullptr, timeoutMs).Readable) {
      return false;
    }
    char buffer[256];
    const long got = ReceiveBytes(FSocket, buffer, sizeof buffer);
    if (got <= 0) {
      return false;
    }
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  // True once the server has closed the connection (reads and drops whatever comes first).
  bool WaitForClose(int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[65536];
    while (std::chrono::steady_clock::now() < deadline) {
      if (!WaitSocket(FSocket, false, nullptr, 50).Readable) {
        continue;
      }
      if (ReceiveBytes(FSocket, buffer, sizeof buffer) <= 0) {
        return true;
      }
    }
    return false;
  }

  void Close() {
    if (FSocket != InvalidSocket) {
      CloseSocket(FSocket);
      FSocket = InvalidSocket;
    }
  }

 private:
  TSocket FSocket = InvalidSocket;
  std::uint16_t FLocalPort = 0;
};

// Polls the condition every few milliseconds for up to timeoutMs. True once it holds.
inline bool WaitForCondition(const std::function<bool()>& condition, int timeoutMs = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

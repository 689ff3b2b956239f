#pragma once

// A stand-in for the server on 127.0.0.1, for what the real server cannot be made to do: a
// server that never reads, one that floods the client with probe frames, one that breaks the
// first connection after some bytes. One thread accepts and serves the connections one by one.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/uSocket.h"

class TFakePeer {
 public:
  enum class TMode {
    Stall,       // accepts, never reads, never closes
    Record,      // reads everything into Received(connection) until the client closes
    ProbeFlood,  // writes FloodBytes of probe frames, reading nothing, then records
    BreakFirst,  // reads BreakAfter bytes of the first connection, resets it, then records
  };

  explicit TFakePeer(TMode mode, std::size_t amount = 0) : FMode(mode), FAmount(amount) {
    FListener = OpenTcpSocket();
    std::uint32_t loopback = 0;
    ParseIPv4Address("127.0.0.1", loopback);
    SetReuseAddress(FListener);
    BindSocket(FListener, loopback, 0);
    ListenSocket(FListener, 8);
    GetLocalPort(FListener, FPort);
    FThread = std::thread([this] { Serve(); });
  }
  ~TFakePeer() {
    FStop = true;
    ShutdownSocket(FListener);
    FThread.join();
    CloseSocket(FListener);
  }
  TFakePeer(const TFakePeer&) = delete;
  TFakePeer& operator=(const TFakePeer&) = delete;

  std::uint16_t Port() const { return FPort; }
  // Bytes received on each connection so far, in the order of the connections.
  std::vector<std::string> Received() {
    std::lock_guard lock(FLock);
    return FReceived;
  }
  // Connections that the client has closed (end of stream seen).
  int ClosedByClient() const { return FClosedByClient.load(); }
  // ProbeFlood: the probe bytes written so far.
  std::size_t FloodWritten() const { return FFloodWritten.load(); }

 private:
  void Serve() {
    for (int connection = 0; !FStop; ++connection) {
      std::uint32_t address = 0;
      std::uint16_t port = 0;
      const TSocket socket = AcceptSocket(FListener, address, port);
      if (socket == InvalidSocket) {
        return;
      }
      {
        std::lock_guard lock(FLock);
        FReceived.emplace_back();
      }
      Handle(socket, connection);
      CloseSocket(socket);
    }
  }

  void Handle(TSocket socket, int connection) {
    SetSocketNonBlocking(socket);
    if (FMode == TMode::Stall) {
      while (!FStop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      return;
    }
    if (FMode == TMode::ProbeFlood && connection == 0) {
      std::string block;
      for (int i = 0; i < 16 * 1024; ++i) {
        block.append("\x03\x00\x00\x04", 4);
      }
      while (!FStop && FFloodWritten < FAmount) {
        const long sent = SendBytes(socket, block.data(), block.size());
        if (sent > 0) {
          FFloodWritten += static_cast<std::size_t>(sent);
        } else if (!WaitSocket(socket, true, nullptr, 50).Writable) {
          continue;
        }
      }
    }
    const std::size_t limit =
        FMode == TMode::BreakFirst && connection == 0 ? FAmount : static_cast<std::size_t>(-1);
    char buffer[65536];
    std::size_t total = 0;
    while (!FStop && total < limit) {
      if (!WaitSocket(socket, false, nullptr, 50).Readable) {
        continue;
      }
      const long got = ReceiveBytes(socket, buffer, std::min(sizeof buffer, limit - total));
      if (got == 0) {
        ++FClosedByClient;
        return;
      }
      if (got < 0) {
        if (IsWouldBlockError(LastSocketError())) {
          continue;
        }
        return;
      }
      total += static_cast<std::size_t>(got);
      std::lock_guard lock(FLock);
      FReceived.back().append(buffer, static_cast<std::size_t>(got));
    }
    // BreakFirst: closing with unread bytes resets the connection, and the client sees it
    // broken.
  }

  const TMode FMode;
  const std::size_t FAmount;
  TSocket FListener = InvalidSocket;
  std::uint16_t FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<int> FClosedByClient{0};
  std::atomic<std::size_t> FFloodWritten{0};
  std::mutex FLock;  // guards FReceived
  std::vector<std::string> FReceived;
  std::thread FThread;
};

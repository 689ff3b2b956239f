#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/TThread.h"

// One end of a network conversation, as event handlers see it: the TCP connection thread, or the
// UDP server thread standing for the peer of the datagram in hand.
//
// The three fields are written by the owner before the event that carries the object is raised
// (TCP: once, before the connection thread starts; UDP: before each event), and only read by
// handlers, so no lock guards them.
class TIPConnection : public TThread {
 public:
  std::uint16_t ClientIndex = 0;
  std::string RemoteAddress;  // dotted IPv4 text
  std::uint16_t RemotePort = 0;

  // Applies one option to the object's own socket (setsockopt semantics): 0, or -1 on failure.
  virtual int SetSocketOption(int level, int optionName, const void* optionValue,
                              int optionLength) = 0;

 protected:
  TIPConnection() = default;
};

// Handlers are callables bound to an object; an empty one means the event is not delivered.
// They run on the server's delivery thread, never on the thread that started the server.
using tNotifyTCPEvent = std::function<void(TIPConnection& Client)>;
// Packet belongs to the deliverer and is valid only during the call; null when PacketSize is 0.
using tNotifyDataTCPEvent =
    std::function<void(TIPConnection& Sender, const void* Packet, std::uint32_t PacketSize)>;

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/uSocket.h"

// One request for the UDP server thread. It owns its own copy of the bytes to send, so the caller
// may reuse its buffer at once.
struct tSendQueueItem {
  enum : std::uint8_t {
    KindToClient = 0,   // send to the peer in slot ClientIndex
    KindToAddress = 1,  // send to Address and Port
    KindRemove = 2,     // remove the peer in slot ClientIndex
  };

  std::uint8_t Kind = KindToClient;
  // KindToAddress only: at most 15 characters of the target address, zero-filled behind them.
  std::array<char, 16> Address{};
  std::uint16_t Port = 0;  // KindToAddress only
  // KindToClient and KindRemove: the slot. KindToAddress: the slot the server finds or gives.
  std::uint16_t ClientIndex = 0;
  std::vector<std::uint8_t> Data;  // none when the requested size is 0 or less
  std::int32_t Size = 0;           // the requested size; 0 for KindRemove

  // A copy of Size bytes at Data (none when Size is 0 or less) for the peer in slot ClientIndex.
  static tSendQueueItem ToClient(std::uint16_t ClientIndex, const void* Data, std::int32_t Size);
  // The same for Address (cut to 15 characters) and Port.
  static tSendQueueItem ToAddress(const std::string& Address, std::uint16_t Port, const void* Data,
                                  std::int32_t Size);
  static tSendQueueItem Remove(std::uint16_t ClientIndex);

  std::string AddressText() const;
};

// The UDP server's send queue: requests from any thread, taken oldest first by the server thread.
// NotEmpty is set exactly while the queue holds items; the server thread waits on it together
// with its socket. Every operation takes the queue's lock for its own duration only; any thread.
class TSendQueue {
 public:
  static constexpr std::int32_t DefaultMaxCount = 10000;

  TSendQueue() = default;
  TSendQueue(const TSendQueue&) = delete;
  TSendQueue& operator=(const TSendQueue&) = delete;

  // Appends Item; drops it when the queue already holds MaxCount items. True when queued.
  bool Push(tSendQueueItem Item);
  // The oldest item, or none when the queue is empty.
  std::optional<tSendQueueItem> Pop();
  // Releases every queued item.
  void Clear();
  std::size_t Count() const;

  const TSocketSignal& NotEmpty() const { return FNotEmpty; }

  const std::int32_t MaxCount = DefaultMaxCount;

 private:
  mutable std::mutex FLock;  // guards FItems and the state of FNotEmpty
  std::deque<tSendQueueItem> FItems;
  // Changed only under FLock, when FItems turns non-empty or empty, so it mirrors FItems exactly.
  TSocketSignal FNotEmpty;
};

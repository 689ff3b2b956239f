#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

// One datagram peer: its address as dotted IPv4 text and its port in host order.
struct tUDPClient {
  std::string Address;
  std::uint16_t Port = 0;
};

// The UDP server's peer table: 1024 numbered slots, each empty or holding one peer. A slot number
// is the peer's client index. Peers never expire; they leave through Remove or Clear only.
//
// Addresses are compared as text, byte for byte: "10.0.0.5" and "10.0.0.05" are two peers.
// Every operation takes the table's lock for its own duration only; any thread.
class TUDPClintList {
 public:
  static constexpr std::size_t SlotCount = 1024;
  // What Add returns when no slot is free. It is also the number of an ordinary slot.
  static constexpr std::uint16_t TableFull = 255;

  TUDPClintList() = default;
  TUDPClintList(const TUDPClintList&) = delete;
  TUDPClintList& operator=(const TUDPClintList&) = delete;

  // True when Index is a slot number that holds a peer; Client then gets a copy of it.
  bool Get(std::int32_t Index, tUDPClient& Client) const;
  // True with the lowest slot whose peer has exactly this address text and port; Index is left
  // alone when there is none.
  bool Find(const std::string& Address, std::uint16_t Port, std::uint16_t& Index) const;
  // Stores a copy of Client in the lowest empty slot and returns its number; TableFull, with
  // nothing changed, when every slot is taken. Does not look for an existing entry: Find first.
  std::uint16_t Add(const tUDPClient& Client);
  // True when Index held a peer, which is released.
  bool Remove(std::uint16_t Index);
  void Clear();
  std::size_t Count() const;

 private:
  struct TPeerKeyHash {
    std::size_t operator()(const tUDPClient& Peer) const noexcept;
  };
  struct TPeerKeyEqual {
    bool operator()(const tUDPClient& A, const tUDPClient& B) const noexcept {
      return A.Port == B.Port && A.Address == B.Address;
    }
  };

  // Keeps FIndex[Peer] at the lowest slot holding Peer after that slot was emptied.
  void ReindexAfterRemoval(const tUDPClient& Peer);

  mutable std::mutex FLock;  // guards FSlots, FIndex and FCount
  std::array<std::optional<tUDPClient>, SlotCount> FSlots;
  // Peer -> lowest slot holding it, so that a datagram costs one hash lookup, not a scan.
  std::unordered_map<tUDPClient, std::uint16_t, TPeerKeyHash, TPeerKeyEqual> FIndex;
  std::size_t FCount = 0;
};

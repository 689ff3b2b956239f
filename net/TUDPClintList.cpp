#include "net/TUDPClintList.h"

#include <functional>
#include <string_view>

std::size_t TUDPClintList::TPeerKeyHash::operator()(const tUDPClient& Peer) const noexcept {
  return std::hash<std::string_view>{}(Peer.Address) ^
         (std::size_t{Peer.Port} * 0x9E3779B97F4A7C15u);
}

bool TUDPClintList::Get(std::int32_t Index, tUDPClient& Client) const {
  if (Index < 0 || static_cast<std::size_t>(Index) >= SlotCount) {
    return false;
  }
  std::lock_guard lock(FLock);
  const auto& slot = FSlots[static_cast<std::size_t>(Index)];
  if (!slot) {
    return false;
  }
  Client = *slot;
  return true;
}

bool TUDPClintList::Find(const std::string& Address, std::uint16_t Port,
                         std::uint16_t& Index) const {
  // Dotted IPv4 text fits the string's inline buffer, so building the key allocates nothing.
  const tUDPClient key{Address, Port};
  std::lock_guard lock(FLock);
  const auto found = FIndex.find(key);
  if (found == FIndex.end()) {
    return false;
  }
  Index = found->second;
  return true;
}

std::uint16_t TUDPClintList::Add(const tUDPClient& Client) {
  std::lock_guard lock(FLock);
  if (FCount == SlotCount) {
    return TableFull;
  }
  std::size_t free = 0;
  while (FSlots[free]) {
    ++free;
  }
  const auto slot = static_cast<std::uint16_t>(free);
  FSlots[free] = Client;
  ++FCount;
  // A peer added twice is found in its lowest slot, as a scan from slot 0 would find it.
  const auto [entry, inserted] = FIndex.try_emplace(Client, slot);
  if (!inserted && slot < entry->second) {
    entry->second = slot;
  }
  return slot;
}

bool TUDPClintList::Remove(std::uint16_t Index) {
  if (Index >= SlotCount) {
    return false;
  }
  std::lock_guard lock(FLock);
  auto& slot = FSlots[Index];
  if (!slot) {
    return false;
  }
  const tUDPClient peer = std::move(*slot);
  slot.reset();
  --FCount;
  const auto entry = FIndex.find(peer);
  if (entry != FIndex.end() && entry->second == Index) {
    ReindexAfterRemoval(peer);
  }
  return true;
}

void TUDPClintList::ReindexAfterRemoval(const tUDPClient& Peer) {
  // Only a peer added twice (Add without Find) has another slot; this scan is that rare case.
  for (std::size_t i = 0; i < SlotCount; ++i) {
    if (FSlots[i] && TPeerKeyEqual{}(*FSlots[i], Peer)) {
      FIndex[Peer] = static_cast<std::uint16_t>(i);
      return;
    }
  }
  FIndex.erase(Peer);
}

void TUDPClintList::Clear() {
  std::lock_guard lock(FLock);
  for (auto& slot : FSlots) {
    slot.reset();
  }
  FIndex.clear();
  FCount = 0;
}

std::size_t TUDPClintList::Count() const {
  std::lock_guard lock(FLock);
  return FCount;
}

#include "net/TSendQueue.h"

#include <algorithm>
#include <cstring>

namespace {

std::vector<std::uint8_t> CopyBytes(const void* Data, std::int32_t Size) {
  if (Size <= 0 || Data == nullptr) {
    return {};
  }
  const auto* bytes = static_cast<const std::uint8_t*>(Data);
  return std::vector<std::uint8_t>(bytes, bytes + Size);
}

}  // namespace

tSendQueueItem tSendQueueItem::ToClient(std::uint16_t ClientIndex, const void* Data,
                                        std::int32_t Size) {
  tSendQueueItem item;
  item.Kind = KindToClient;
  item.ClientIndex = ClientIndex;
  item.Data = CopyBytes(Data, Size);
  item.Size = item.Data.empty() ? std::min<std::int32_t>(Size, 0) : Size;
  return item;
}

tSendQueueItem tSendQueueItem::ToAddress(const std::string& Address, std::uint16_t Port,
                                         const void* Data, std::int32_t Size) {
  tSendQueueItem item = ToClient(0, Data, Size);
  item.Kind = KindToAddress;
  std::memcpy(item.Address.data(), Address.data(),
              std::min(Address.size(), item.Address.size() - 1));
  item.Port = Port;
  return item;
}

tSendQueueItem tSendQueueItem::Remove(std::uint16_t ClientIndex) {
  tSendQueueItem item;
  item.Kind = KindRemove;
  item.ClientIndex = ClientIndex;
  return item;
}

std::string tSendQueueItem::AddressText() const {
  return std::string(Address.begin(), std::find(Address.begin(), Address.end(), '\0'));
}

bool TSendQueue::Push(tSendQueueItem Item) {
  std::lock_guard lock(FLock);
  if (FItems.size() >= static_cast<std::size_t>(MaxCount)) {
    return false;
  }
  FItems.push_back(std::move(Item));
  if (FItems.size() == 1) {
    FNotEmpty.Set();
  }
  return true;
}

std::optional<tSendQueueItem> TSendQueue::Pop() {
  std::lock_guard lock(FLock);
  if (FItems.empty()) {
    return std::nullopt;
  }
  std::optional<tSendQueueItem> oldest(std::move(FItems.front()));
  FItems.pop_front();
  if (FItems.empty()) {
    FNotEmpty.Reset();
  }
  return oldest;
}

void TSendQueue::Clear() {
  std::deque<tSendQueueItem> released;
  {
    std::lock_guard lock(FLock);
    released.swap(FItems);
    FNotEmpty.Reset();
  }
}

std::size_t TSendQueue::Count() const {
  std::lock_guard lock(FLock);
  return FItems.size();
}

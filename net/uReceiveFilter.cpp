#include "net/uReceiveFilter.h"

#include "protocol/uTPKTFrame.h"

namespace {

constexpr std::int32_t PassThroughChunk = 65533;

std::string CopyBytes(const void* data, std::int32_t size) {
  if (data == nullptr || size <= 0) {
    return {};
  }
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

}  // namespace

std::int32_t tEmptyReceiveFilter::BytesNeeded() const {
  return PassThroughChunk;
}

std::string tEmptyReceiveFilter::Encode(const void* data, std::int32_t size) const {
  return CopyBytes(data, size);
}

std::string tEmptyReceiveFilter::Decode(const void* data, std::int32_t count, bool& More) {
  More = false;
  return CopyBytes(data, count);
}

std::unique_ptr<tEmptyReceiveFilter> tEmptyReceiveFilter::CreateFilter() {
  return std::make_unique<tEmptyReceiveFilter>();
}

std::int32_t tTPKTReceiveFilter::BytesNeeded() const {
  const auto buffered = static_cast<std::int32_t>(BufferedSize());
  if (buffered < HeaderSize) {
    return HeaderSize - buffered;
  }
  const auto* head = reinterpret_cast<const std::uint8_t*>(Buffer.data() + FHead);
  const std::int32_t missing = static_cast<std::int32_t>(TPKTDeclaredLength(head)) - buffered;
  return missing > 0 ? missing : HeaderSize;
}

std::string tTPKTReceiveFilter::Encode(const void* data, std::int32_t size) const {
  std::string frame;
  if (size < 0 || (size > 0 && data == nullptr)) {
    return frame;
  }
  // Too large a payload leaves the frame empty.
  AppendTPKTFrame(frame, data, static_cast<std::size_t>(size));
  return frame;
}

std::string tTPKTReceiveFilter::Decode(const void* data, std::int32_t count, bool& More) {
  if (data != nullptr && count > 0) {
    if (FHead > 0) {
      Buffer.erase(0, FHead);
      FHead = 0;
    }
    Buffer.append(static_cast<const char*>(data), static_cast<std::size_t>(count));
  }
  return ExtractFrame(More);
}

std::string tTPKTReceiveFilter::ExtractFrame(bool& More) {
  More = false;
  if (BufferedSize() < HeaderSize) {
    return {};
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(Buffer.data());
  // The header is recognised only when both bytes match; stray data is skipped two bytes at a
  // time, so after it the next header is found only at an even distance.
  while (!IsTPKTHeaderStart(bytes + FHead)) {
    FHead += 2;
    if (BufferedSize() < HeaderSize) {
      return {};
    }
  }
  std::size_t length = TPKTDeclaredLength(bytes + FHead);
  if (BufferedSize() < length) {
    return {};
  }
  std::string packet;
  if (length > HeaderSize) {
    packet.assign(Buffer, FHead + HeaderSize, length - HeaderSize);
  } else if (length == 0) {
    // Dropping the declared 0 bytes would return this same header for ever.
    length = HeaderSize;
  }
  FHead += length;
  if (FHead == Buffer.size()) {
    Buffer.clear();
    FHead = 0;
  }
  More = BufferedSize() >= HeaderSize;
  return packet;
}

std::unique_ptr<tEmptyReceiveFilter> tTPKTReceiveFilter::CreateFilter() {
  return std::make_unique<tTPKTReceiveFilter>();
}

std::unique_ptr<tEmptyReceiveFilter> CreateReceiveFilter(TReceiveFilterClass filterClass) {
  return filterClass != nullptr ? filterClass() : tEmptyReceiveFilter::CreateFilter();
}

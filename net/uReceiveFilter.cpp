#include "net/uReceiveFilter.h"

#include <algorithm>
#include <utility>

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

void tEmptyReceiveFilter::DecodeEach(const void* data, std::int32_t count,
                                     const TPacketSink& packet) {
  bool more = false;
  std::string next = Decode(data, count, more);
  while (true) {
    if (!next.empty()) {
      packet(std::move(next));
    }
    if (!more) {
      return;
    }
    next = Decode(nullptr, 0, more);
  }
}

void tEmptyReceiveFilter::ReleaseEmptyBuffer() {
  if (BufferedSize() == 0) {
    std::string().swap(Buffer);
    FHead = 0;
  }
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

void tTPKTReceiveFilter::DecodeEach(const void* data, std::int32_t count,
                                    const TPacketSink& packet) {
  if (data == nullptr || count <= 0) {
    return;
  }
  const char* next = static_cast<const char*>(data);
  auto left = static_cast<std::size_t>(count);
  // What earlier reads left buffered takes only the bytes its frame lacks, a header's worth at
  // most when the length is not known yet; the frames cut are those Decode would give.
  while (BufferedSize() > 0 && left > 0) {
    if (FHead > 0) {
      Buffer.erase(0, FHead);
      FHead = 0;
    }
    const std::size_t taken = std::min(static_cast<std::size_t>(BytesNeeded()), left);
    Buffer.append(next, taken);
    next += taken;
    left -= taken;
    bool more = false;
    do {
      std::string payload = ExtractFrame(more);
      if (!payload.empty()) {
        packet(std::move(payload));
      }
    } while (more);
  }
  // The same rules as ExtractFrame, straight on the received bytes.
  while (left >= static_cast<std::size_t>(HeaderSize)) {
    const auto* head = reinterpret_cast<const std::uint8_t*>(next);
    if (!IsTPKTHeaderStart(head)) {
      next += 2;
      left -= 2;
      continue;
    }
    std::size_t length = TPKTDeclaredLength(head);
    if (left < length) {
      break;
    }
    if (length > static_cast<std::size_t>(HeaderSize)) {
      packet(std::string(next + HeaderSize, length - HeaderSize));
    } else if (length == 0) {
      length = HeaderSize;
    }
    next += length;
    left -= length;
  }
  if (left > 0) {
    Buffer.append(next, left);
  }
  // A burst of one read must not stay with the connection: the buffer keeps one frame at most.
  constexpr std::size_t KeptCapacity = 4096;
  if (Buffer.capacity() > KeptCapacity && Buffer.size() - FHead <= KeptCapacity) {
    Buffer.erase(0, FHead);
    FHead = 0;
    Buffer.shrink_to_fit();
  }
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

// The TPKT filter fed one byte stream in pieces whose sizes come from the input. Whatever the
// pieces, the packets delivered must be those that a plain reading of the whole stream finds,
// the bytes left buffered must be the stream's unframed tail, and every payload must survive
// Encode and Decode unchanged.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/uReceiveFilter.h"
#include "tests/fuzz/uFuzzSupport.h"

namespace {

// The frames of the whole stream, read the plain way: a header is 03 00 at an even distance from
// the last frame's end, stray bytes are skipped two at a time, a declared length of 0 skips the
// header and 1 to 3 skip that many bytes. rest is what stays unframed.
std::vector<std::string> ReferencePackets(std::string_view stream, std::string_view& rest) {
  std::vector<std::string> packets;
  std::size_t pos = 0;
  for (;;) {
    while (stream.size() - pos >= 4 && (stream[pos] != '\x03' || stream[pos + 1] != '\x00')) {
      pos += 2;
    }
    if (stream.size() - pos < 4) {
      break;
    }
    const std::size_t length = static_cast<std::uint8_t>(stream[pos + 2]) * 256u +
                               static_cast<std::uint8_t>(stream[pos + 3]);
    if (stream.size() - pos < length) {
      break;
    }
    if (length > 4) {
      packets.emplace_back(stream.substr(pos + 4, length - 4));
    }
    pos += length == 0 ? 4 : length;
  }
  rest = stream.substr(pos);
  return packets;
}

// The connection thread's calling protocol: one Decode with the bytes read, then Decode without
// data while More is set; empty packets are not delivered.
void DeliverPiece(tEmptyReceiveFilter& filter, const char* data, std::int32_t count,
                  std::vector<std::string>& delivered) {
  // Every call that sets More has removed at least one buffered byte.
  const std::size_t mostCalls = filter.BufferedSize() + static_cast<std::size_t>(count) + 1;
  bool more = false;
  std::string packet = filter.Decode(data, count, more);
  for (std::size_t calls = 1;; ++calls) {
    FuzzCheck(calls <= mostCalls, "the More loop ends");
    if (!packet.empty()) {
      delivered.push_back(std::move(packet));
    }
    if (!more) {
      break;
    }
    packet = filter.Decode(nullptr, 0, more);
  }
}

void CheckEncodeDecode(std::string_view payload) {
  tTPKTReceiveFilter filter;
  const std::string frame =
      filter.Encode(payload.data(), static_cast<std::int32_t>(payload.size()));
  if (payload.size() > static_cast<std::size_t>(tTPKTReceiveFilter::MaxPayloadSize)) {
    FuzzCheck(frame.empty(), "a payload beyond 65531 bytes encodes to nothing");
    return;
  }
  FuzzCheck(frame.size() == payload.size() + 4, "a frame is its payload plus the header");
  bool more = true;
  const std::string decoded =
      filter.Decode(frame.data(), static_cast<std::int32_t>(frame.size()), more);
  FuzzCheck(decoded == payload && !more && filter.BufferedSize() == 0,
            "an encoded payload decodes to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Piece sizes come from the end of the input, the stream is what precedes them.
  const std::size_t pieceBytes = input.ConsumeIntegralInRange<std::size_t>(0, 64);
  std::vector<std::size_t> pieces;
  for (std::size_t i = 0; i < pieceBytes && input.remaining_bytes() > 0; ++i) {
    // 0 stands for a read that delivered nothing.
    pieces.push_back(input.ConsumeIntegralInRange<std::size_t>(0, 300));
  }
  const std::string stream = input.ConsumeRemainingBytesAsString();

  auto filter = CreateReceiveFilter(&tTPKTReceiveFilter::CreateFilter);
  std::vector<std::string> delivered;
  std::size_t pos = 0;
  for (const std::size_t piece : pieces) {
    const std::size_t count = std::min(piece, stream.size() - pos);
    DeliverPiece(*filter, stream.data() + pos, static_cast<std::int32_t>(count), delivered);
    pos += count;
    const std::int32_t needed = filter->BytesNeeded();
    FuzzCheck(needed > 0 && needed <= tTPKTReceiveFilter::MaxFrameSize,
              "BytesNeeded is between 1 and a whole frame");
  }
  if (pos < stream.size()) {
    DeliverPiece(*filter, stream.data() + pos, static_cast<std::int32_t>(stream.size() - pos),
                 delivered);
  }

  std::string_view rest;
  const std::vector<std::string> expected = ReferencePackets(stream, rest);
  FuzzCheck(delivered == expected, "the packets do not depend on how the stream was cut");
  FuzzCheck(filter->BufferedSize() == rest.size(), "the unframed tail stays buffered");

  for (const std::string& packet : delivered) {
    CheckEncodeDecode(packet);
  }
  CheckEncodeDecode(stream);
  return 0;
}

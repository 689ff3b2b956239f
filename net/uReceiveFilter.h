#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "protocol/uTPKTFrame.h"

// Receive filters: they cut the byte stream of one TCP connection into packets and frame each
// outgoing payload. Each connection thread owns one filter and is its only user, so a filter
// needs no lock.

// The pass-through filter and the base of every filter: every chunk read from the socket is one
// packet, and payloads go out unchanged.
class tEmptyReceiveFilter {
 public:
  tEmptyReceiveFilter() = default;
  tEmptyReceiveFilter(const tEmptyReceiveFilter&) = delete;
  tEmptyReceiveFilter& operator=(const tEmptyReceiveFilter&) = delete;
  virtual ~tEmptyReceiveFilter() = default;

  // Bytes still missing from the current frame. Pass-through: always 65533.
  virtual std::int32_t BytesNeeded() const;
  // The bytes to write for one payload. Pass-through: a copy; empty when size <= 0.
  virtual std::string Encode(const void* data, std::int32_t size) const;
  // One packet out of newly received bytes. Pass-through: a copy of the bytes (empty when
  // count <= 0), More false. Protocol: call once with the bytes just read, then with
  // (nullptr, 0) for as long as the previous call set More; empty packets are not delivered.
  virtual std::string Decode(const void* data, std::int32_t count, bool& More);
  // Every non-empty packet that newly received bytes complete, in order, handed to packet to
  // keep: the same packets as Decode and its follow-up calls. The base does exactly that; a
  // framing filter cuts frames straight out of data and buffers only an incomplete last frame.
  using TPacketSink = std::function<void(std::string&& packet)>;
  virtual void DecodeEach(const void* data, std::int32_t count, const TPacketSink& packet);

  // The bytes received and not yet framed (used by framing filters only).
  std::size_t BufferedSize() const { return Buffer.size() - FHead; }
  // Frees the buffer's memory when it holds no unframed bytes (an idle connection's).
  void ReleaseEmptyBuffer();

  // The virtual constructor that a filter class stands for.
  static std::unique_ptr<tEmptyReceiveFilter> CreateFilter();

 protected:
  // Received bytes; those before FHead are already framed and are dropped at the next append,
  // so cutting many small frames out of one read costs no repeated moves.
  std::string Buffer;
  std::size_t FHead = 0;
};

// TPKT framing (protocol/uTPKTFrame.h has the frame layout): 03 00, the frame length big-endian
// (header included), the payload. 03 00 00 04 is a valid header-only frame (the liveness probe);
// its empty packet is dropped.
class tTPKTReceiveFilter : public tEmptyReceiveFilter {
 public:
  // Compared with the first two bytes of a frame as one 16-bit word, low byte first: 03 00.
  static constexpr std::uint16_t Version = 3;
  static constexpr std::int32_t HeaderSize = TPKTHeaderSize;
  static constexpr std::int32_t MaxFrameSize = TPKTMaxFrameSize;
  static constexpr std::int32_t MaxPayloadSize = MaxFrameSize - HeaderSize;

  // Fewer than 4 bytes buffered: 4 minus that count; otherwise the header's length minus the
  // buffered count, or 4 when that is not positive.
  std::int32_t BytesNeeded() const override;
  // Header + payload; empty when size < 0 or size > 65531. Size 0 gives 03 00 00 04.
  std::string Encode(const void* data, std::int32_t size) const override;
  // Appends the bytes (count > 0) to the buffer, then ExtractFrame.
  std::string Decode(const void* data, std::int32_t count, bool& More) override;
  // Completes a buffered frame with the bytes it lacks, then cuts the frames out of the rest of
  // data without copying it into the buffer first; a read then costs one copy per payload, and
  // the buffer holds at most one incomplete frame.
  void DecodeEach(const void* data, std::int32_t count, const TPacketSink& packet) override;

  // Cuts the next frame out of the buffer: its payload (empty while the frame is incomplete),
  // More true when at least 4 bytes stay buffered. Bytes that do not start with 03 00 are
  // skipped two at a time. A declared length of 1 to 3 drops that many bytes, and a declared
  // length of 0 drops the 4 header bytes, so the filter always makes progress.
  std::string ExtractFrame(bool& More);

  static std::unique_ptr<tEmptyReceiveFilter> CreateFilter();
};

// A filter class: the virtual constructor of one filter type (&tTPKTReceiveFilter::CreateFilter).
// A null class stands for tEmptyReceiveFilter.
using TReceiveFilterClass = std::unique_ptr<tEmptyReceiveFilter> (*)();

// Creates a filter through the class, or the pass-through filter when there is none.
std::unique_ptr<tEmptyReceiveFilter> CreateReceiveFilter(TReceiveFilterClass filterClass);

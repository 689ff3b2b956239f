#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// TPKT framing (the header of RFC 1006), the envelope of every packet on the server's TCP port:
//
//   +------+------+---------+---------+------------------+
//   | 0x03 | 0x00 | len-hi  | len-lo  | payload          |
//   +------+------+---------+---------+------------------+
//   len = the whole frame, these 4 bytes included, big-endian; at most 65535, so at most 65531
//   payload bytes. 03 00 00 04 is a valid header-only frame: the server's liveness probe.

inline constexpr std::size_t TPKTHeaderSize = 4;
inline constexpr std::size_t TPKTMaxFrameSize = 65535;
inline constexpr std::size_t TPKTMaxPayloadSize = TPKTMaxFrameSize - TPKTHeaderSize;
// The first two bytes of every header.
inline constexpr std::uint8_t TPKTVersionByte = 0x03;
inline constexpr std::uint8_t TPKTReservedByte = 0x00;

// True when the two bytes at header are 03 00 (both must match).
inline bool IsTPKTHeaderStart(const std::uint8_t* header) {
  return header[0] == TPKTVersionByte && header[1] == TPKTReservedByte;
}

// The frame length that the 4 header bytes declare: 03 00 01 02 => 258.
inline std::size_t TPKTDeclaredLength(const std::uint8_t* header) {
  return static_cast<std::size_t>(header[2]) << 8 | header[3];
}

// Writes the 4 header bytes of a frame carrying payloadSize bytes. False (nothing written) when
// payloadSize is above 65531.
bool WriteTPKTHeader(std::uint8_t* header, std::size_t payloadSize);

// Appends the frame of one payload to out. False (out unchanged) when size is above 65531.
//   "ab" => 03 00 00 06 'a' 'b';  "" => 03 00 00 04
bool AppendTPKTFrame(std::string& out, const void* payload, std::size_t size);

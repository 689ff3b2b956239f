#include "protocol/uTPKTFrame.h"

bool WriteTPKTHeader(std::uint8_t* header, std::size_t payloadSize) {
  if (payloadSize > TPKTMaxPayloadSize) {
    return false;
  }
  const std::size_t length = payloadSize + TPKTHeaderSize;
  header[0] = TPKTVersionByte;
  header[1] = TPKTReservedByte;
  header[2] = static_cast<std::uint8_t>(length >> 8);
  header[3] = static_cast<std::uint8_t>(length & 0xFF);
  return true;
}

bool AppendTPKTFrame(std::string& out, const void* payload, std::size_t size) {
  std::uint8_t header[TPKTHeaderSize];
  if (!WriteTPKTHeader(header, size)) {
    return false;
  }
  out.append(reinterpret_cast<const char*>(header), TPKTHeaderSize);
  if (size > 0) {
    out.append(static_cast<const char*>(payload), size);
  }
  return true;
}

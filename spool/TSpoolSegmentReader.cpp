#include "spool/TSpoolSegmentReader.h"

#include <array>

namespace {

constexpr char FrameMagic[4] = {'K', 'S', 'P', '1'};

std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    table[n] = c;
  }
  return table;
}

void PutLittle(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

std::uint64_t GetLittle(const char* in, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(in[i]);
  }
  return value;
}

}  // namespace

std::uint32_t SpoolCrc32(std::string_view bytes, std::uint32_t crc) {
  static const auto table = MakeCrcTable();
  crc = ~crc;
  for (const char byte : bytes) {
    crc = table[(crc ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (crc >> 8);
  }
  return ~crc;
}

std::string TSpoolSegmentReader::Frame(std::uint64_t sequence, std::string_view payload) {
  std::string frame;
  frame.reserve(HeaderBytes + payload.size());
  frame.append(FrameMagic, sizeof FrameMagic);
  PutLittle(frame, payload.size(), 4);
  PutLittle(frame, sequence, 8);
  const std::uint32_t crc = SpoolCrc32(payload, SpoolCrc32(std::string_view(frame).substr(8, 8)));
  PutLittle(frame, crc, 4);
  frame.append(payload);
  return frame;
}

bool TSpoolSegmentReader::Open(const std::string& path) {
  Close();
  FFile.open(path, std::ios::binary);
  FPath = path;
  FOffset = 0;
  FSeek = false;
  return FFile.is_open();
}

void TSpoolSegmentReader::Close() {
  if (FFile.is_open()) {
    FFile.close();
  }
  FFile.clear();
  FPath.clear();
  FOffset = 0;
}

TSpoolSegmentReader::TResult TSpoolSegmentReader::Next(std::uint64_t& sequence,
                                                       std::string& payload) {
  if (!FFile.is_open()) {
    return TResult::End;
  }
  // A frame cut short may still be being written: the next call starts over at the same offset.
  if (FSeek) {
    FFile.clear();
    FFile.seekg(static_cast<std::streamoff>(FOffset));
    FSeek = false;
  }
  char header[HeaderBytes];
  FFile.read(header, HeaderBytes);
  if (FFile.gcount() < static_cast<std::streamsize>(HeaderBytes)) {
    FSeek = true;
  }
  if (FFile.gcount() == 0) {
    return TResult::End;
  }
  if (FFile.gcount() < static_cast<std::streamsize>(HeaderBytes)) {
    return std::string_view(header, static_cast<std::size_t>(FFile.gcount())) ==
                   std::string_view(FrameMagic, static_cast<std::size_t>(FFile.gcount()))
               ? TResult::End
               : TResult::Torn;
  }
  if (std::string_view(header, 4) != std::string_view(FrameMagic, 4)) {
    FSeek = true;
    return TResult::Torn;
  }
  const auto length = static_cast<std::uint32_t>(GetLittle(header + 4, 4));
  if (length > MaxPayloadBytes) {
    FSeek = true;
    return TResult::Torn;
  }
  payload.resize(length);
  FFile.read(payload.data(), length);
  if (FFile.gcount() < static_cast<std::streamsize>(length)) {
    FSeek = true;
    return TResult::End;
  }
  const std::uint32_t crc = SpoolCrc32(payload, SpoolCrc32(std::string_view(header + 8, 8)));
  if (crc != static_cast<std::uint32_t>(GetLittle(header + 16, 4))) {
    FSeek = true;
    return TResult::Torn;
  }
  sequence = GetLittle(header + 8, 8);
  FOffset += HeaderBytes + length;
  return TResult::Record;
}

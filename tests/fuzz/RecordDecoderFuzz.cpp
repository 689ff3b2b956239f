// The record decoder and the syslog text on any payload. A payload decodes exactly when it is long
// enough, carries marker 0 and each of its four fields lies within TotalLength and within the
// bytes received; a decoded record encodes and decodes back to itself.

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "server/uRecordDecoder.h"
#include "tests/fuzz/uFuzzSupport.h"

namespace {

std::uint32_t ReadLittleEndian32(const std::uint8_t* at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | at[i];
  }
  return value;
}

// The header's verdict on its own, field by field, in 64-bit arithmetic; the texts it promises.
bool ExpectedRecord(const std::uint8_t* data, std::size_t size, tLogRecord& expected) {
  if (size < LogRecordHeaderSize || data[0] != 0) {
    return false;
  }
  const std::uint64_t total = ReadLittleEndian32(data + 1);
  const auto field = [&](std::size_t at, std::string& text) {
    const std::uint64_t offset = ReadLittleEndian32(data + at);
    const std::uint64_t length = ReadLittleEndian32(data + at + 4);
    if (offset + length > total || offset + length > size) {
      return false;
    }
    text.assign(reinterpret_cast<const char*>(data) + offset, length);
    return true;
  };
  return field(5, expected.ApplicationName) && field(13, expected.ModuleName) &&
         field(21, expected.FilePrefix) && field(37, expected.Text);
}

bool SameBits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool SameRecord(const tLogRecord& a, const tLogRecord& b) {
  return a.ApplicationName == b.ApplicationName && a.ModuleName == b.ModuleName &&
         a.FilePrefix == b.FilePrefix && a.Text == b.Text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0xFFFFFFFFu) {
    return 0;
  }
  // A copy of exactly the payload's size, so a read one byte beyond it is caught.
  const auto payload = std::make_unique<std::uint8_t[]>(size);
  if (size > 0) {
    std::memcpy(payload.get(), data, size);
  }
  const auto count = static_cast<std::uint32_t>(size);

  tLogRecord record;
  const bool decoded = DecodeLogRecord(payload.get(), count, record);
  tLogRecord expected;
  const bool valid = ExpectedRecord(data, size, expected);
  FuzzCheck(decoded == valid, "a record decodes exactly when its header is within bounds");
  if (decoded) {
    FuzzCheck(SameRecord(record, expected), "the decoded texts are the bytes the header names");
    double clientTime = 0;
    std::memcpy(&clientTime, data + 29, sizeof clientTime);
    FuzzCheck(SameBits(record.ClientTime, clientTime), "the client time is taken bit for bit");

    const std::string encoded = EncodeLogRecord(record);
    tLogRecord again;
    FuzzCheck(DecodeLogRecord(reinterpret_cast<const std::uint8_t*>(encoded.data()),
                              static_cast<std::uint32_t>(encoded.size()), again),
              "an encoded record decodes");
    FuzzCheck(SameRecord(again, record) && SameBits(again.ClientTime, record.ClientTime),
              "an encoded record decodes to itself");
  }

  const std::string_view text = SyslogText(payload.get(), count);
  FuzzCheck(
      text.size() <= size && (text.empty() || std::memcmp(text.data(), data, text.size()) == 0),
      "the syslog text is a prefix of the datagram");
  for (std::size_t i = text.size(); i < size; ++i) {
    FuzzCheck(data[i] <= 32, "only blanks and control bytes are cut from the end");
  }
  FuzzCheck(text.empty() || static_cast<std::uint8_t>(text.back()) > 32,
            "the syslog text ends in a printable byte");
  return 0;
}

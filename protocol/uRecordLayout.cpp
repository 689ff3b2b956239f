#include "protocol/uRecordLayout.h"

#include <algorithm>
#include <bit>

namespace {

std::uint32_t ReadUInt32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

double ReadDouble(const std::uint8_t* at) {
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) {
    bits = bits << 8 | at[i];
  }
  return std::bit_cast<double>(bits);
}

char* PutUInt32(char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    *at++ = static_cast<char>(value >> (8 * i) & 0xFF);
  }
  return at;
}

char* PutDouble(char* at, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) {
    *at++ = static_cast<char>(bits >> (8 * i) & 0xFF);
  }
  return at;
}

// Field offsets and lengths in the header.
constexpr std::size_t TotalLengthAt = 1;
constexpr std::size_t ApplicationNameAt = 5;
constexpr std::size_t ModuleNameAt = 13;
constexpr std::size_t FilePrefixAt = 21;
constexpr std::size_t ClientTimeAt = 29;
constexpr std::size_t TextAt = 37;

bool ExtractHeaderField(const std::uint8_t* payload, std::uint32_t size, std::uint32_t totalLength,
                        std::size_t fieldAt, std::string& text) {
  return ExtractField(payload, size, totalLength, ReadUInt32(payload + fieldAt),
                      ReadUInt32(payload + fieldAt + 4), text);
}

}  // namespace

bool ExtractField(const std::uint8_t* payload, std::uint32_t size, std::uint32_t totalLength,
                  std::uint32_t offset, std::uint32_t length, std::string& text) {
  // 64-bit sum: two 32-bit values cannot wrap it.
  const std::uint64_t end = static_cast<std::uint64_t>(offset) + length;
  if (end > totalLength || end > size) {
    return false;
  }
  text.assign(reinterpret_cast<const char*>(payload) + offset, length);
  return true;
}

bool DecodeLogRecord(const std::uint8_t* payload, std::uint32_t size, tLogRecord& record) {
  if (size < LogRecordHeaderSize || payload[0] != 0) {
    return false;
  }
  const std::uint32_t totalLength = ReadUInt32(payload + TotalLengthAt);
  record.ClientTime = ReadDouble(payload + ClientTimeAt);
  return ExtractHeaderField(payload, size, totalLength, ApplicationNameAt,
                            record.ApplicationName) &&
         ExtractHeaderField(payload, size, totalLength, ModuleNameAt, record.ModuleName) &&
         ExtractHeaderField(payload, size, totalLength, FilePrefixAt, record.FilePrefix) &&
         ExtractHeaderField(payload, size, totalLength, TextAt, record.Text);
}

std::size_t LogRecordSize(std::string_view application, std::string_view module,
                          std::string_view prefix, std::string_view text) {
  return LogRecordHeaderSize + application.size() + module.size() + prefix.size() + text.size();
}

void AppendLogRecord(std::string& out, std::string_view application, std::string_view module,
                     std::string_view prefix, std::string_view text, double clientTime) {
  const std::size_t total = LogRecordSize(application, module, prefix, text);
  const std::size_t start = out.size();
  // One resize and direct stores: this runs once per record on the clients' hot path.
  out.resize(start + total);
  char* at = out.data() + start;
  *at++ = '\0';
  at = PutUInt32(at, static_cast<std::uint32_t>(total));
  std::uint32_t next = LogRecordHeaderSize;
  const auto putField = [&](std::string_view field) {
    at = PutUInt32(at, next);
    at = PutUInt32(at, static_cast<std::uint32_t>(field.size()));
    next += static_cast<std::uint32_t>(field.size());
  };
  putField(application);
  putField(module);
  putField(prefix);
  at = PutDouble(at, clientTime);
  putField(text);
  for (const std::string_view field : {application, module, prefix, text}) {
    at = std::copy(field.begin(), field.end(), at);
  }
}

std::string EncodeLogRecord(const tLogRecord& record) {
  std::string out;
  AppendLogRecord(out, record.ApplicationName, record.ModuleName, record.FilePrefix, record.Text,
                  record.ClientTime);
  return out;
}

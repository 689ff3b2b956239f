#include "server/uRecordDecoder.h"

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

void AppendUInt32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
  }
}

void AppendDouble(std::string& out, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) {
    out.push_back(static_cast<char>(bits >> (8 * i) & 0xFF));
  }
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

std::string EncodeLogRecord(const tLogRecord& record) {
  const std::size_t total = LogRecordHeaderSize + record.ApplicationName.size() +
                            record.ModuleName.size() + record.FilePrefix.size() +
                            record.Text.size();
  std::string out;
  out.reserve(total);
  out.push_back('\0');
  AppendUInt32(out, static_cast<std::uint32_t>(total));
  std::uint32_t next = LogRecordHeaderSize;
  const auto appendField = [&](const std::string& field) {
    AppendUInt32(out, next);
    AppendUInt32(out, static_cast<std::uint32_t>(field.size()));
    next += static_cast<std::uint32_t>(field.size());
  };
  appendField(record.ApplicationName);
  appendField(record.ModuleName);
  appendField(record.FilePrefix);
  AppendDouble(out, record.ClientTime);
  appendField(record.Text);
  out += record.ApplicationName;
  out += record.ModuleName;
  out += record.FilePrefix;
  out += record.Text;
  return out;
}

std::string SyslogText(const std::uint8_t* data, std::uint32_t size) {
  std::uint32_t length = size;
  while (length > 0 && data[length - 1] <= 32) {
    --length;
  }
  if (length == 0) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(data), length);
}

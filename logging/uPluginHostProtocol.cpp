#include "logging/uPluginHostProtocol.h"

#include <cstring>

namespace {

std::uint32_t LoadU32(const char* bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  }
  return value;
}

void Put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

void PutTime(std::string& out, double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  Put(out, bits, 8);
}

void PutText(std::string& out, std::string_view text) {
  Put(out, text.size(), 4);
  out.append(text);
}

}  // namespace

void AppendPluginHostMessageItem(std::string& out, double clientTime, double serverTime,
                                 std::string_view text) {
  out.push_back(static_cast<char>(TPluginHostItemKind::Message));
  PutTime(out, clientTime);
  PutTime(out, serverTime);
  PutText(out, text);
}

void AppendPluginHostRecordItem(std::string& out, double clientTime, double serverTime,
                                std::string_view peerAddress, std::string_view peerPort,
                                std::string_view applicationName, std::string_view moduleName,
                                std::string_view filePrefix, std::string_view text) {
  out.push_back(static_cast<char>(TPluginHostItemKind::Record));
  PutTime(out, clientTime);
  PutTime(out, serverTime);
  for (const std::string_view part :
       {peerAddress, peerPort, applicationName, moduleName, filePrefix, text}) {
    PutText(out, part);
  }
}

void TPluginHostFrameWriter::Begin(TPluginHostFrameKind kind) {
  FFrame.assign(4, '\0');
  U8(static_cast<std::uint8_t>(kind));
}

void TPluginHostFrameWriter::U32(std::uint32_t value) {
  Put(FFrame, value, 4);
}

void TPluginHostFrameWriter::U64(std::uint64_t value) {
  Put(FFrame, value, 8);
}

void TPluginHostFrameWriter::Time(double value) {
  PutTime(FFrame, value);
}

void TPluginHostFrameWriter::Text(std::string_view text) {
  PutText(FFrame, text);
}

void TPluginHostFrameWriter::Counts(const TPluginHostCounts& counts) {
  U8(counts.Given ? 1 : 0);
  for (const std::uint64_t value :
       {counts.Sent, counts.Acknowledged, counts.Spooled, counts.Dropped}) {
    U64(value);
  }
}

void TPluginHostFrameWriter::MessageItem(double clientTime, double serverTime,
                                         std::string_view text) {
  AppendPluginHostMessageItem(FFrame, clientTime, serverTime, text);
}

void TPluginHostFrameWriter::RecordItem(double clientTime, double serverTime,
                                        std::string_view peerAddress, std::string_view peerPort,
                                        std::string_view applicationName,
                                        std::string_view moduleName, std::string_view filePrefix,
                                        std::string_view text) {
  AppendPluginHostRecordItem(FFrame, clientTime, serverTime, peerAddress, peerPort, applicationName,
                             moduleName, filePrefix, text);
}

const std::string& TPluginHostFrameWriter::Finish() {
  const auto length = static_cast<std::uint32_t>(FFrame.size() - 4);
  for (int i = 0; i < 4; ++i) {
    FFrame[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  }
  return FFrame;
}

bool TPluginHostFrameReader::Take(std::size_t size) {
  if (FFailed || FBody.size() - FPosition < size) {
    FFailed = true;
    return false;
  }
  return true;
}

std::uint8_t TPluginHostFrameReader::U8() {
  if (!Take(1)) {
    return 0;
  }
  return static_cast<std::uint8_t>(FBody[FPosition++]);
}

std::uint32_t TPluginHostFrameReader::U32() {
  if (!Take(4)) {
    return 0;
  }
  const std::uint32_t value = LoadU32(FBody.data() + FPosition);
  FPosition += 4;
  return value;
}

std::uint64_t TPluginHostFrameReader::U64() {
  const std::uint64_t low = U32();
  const std::uint64_t high = U32();
  return low | (high << 32);
}

TPluginHostCounts TPluginHostFrameReader::Counts() {
  TPluginHostCounts counts;
  counts.Given = U8() == 1;
  counts.Sent = U64();
  counts.Acknowledged = U64();
  counts.Spooled = U64();
  counts.Dropped = U64();
  return counts;
}

double TPluginHostFrameReader::Time() {
  const std::uint64_t low = U32();
  const std::uint64_t high = U32();
  const std::uint64_t bits = low | (high << 32);
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string_view TPluginHostFrameReader::Text() {
  const std::uint32_t size = U32();
  if (!Take(size)) {
    return {};
  }
  const std::string_view text = FBody.substr(FPosition, size);
  FPosition += size;
  return text;
}

bool TPluginHostFrameReader::Item(TPluginHostItem& item) {
  const std::uint8_t kind = U8();
  item = TPluginHostItem{};
  item.ClientTime = Time();
  item.ServerTime = Time();
  if (kind == static_cast<std::uint8_t>(TPluginHostItemKind::Message)) {
    item.Kind = TPluginHostItemKind::Message;
  } else if (kind == static_cast<std::uint8_t>(TPluginHostItemKind::Record)) {
    item.Kind = TPluginHostItemKind::Record;
    item.PeerAddress = Text();
    item.PeerPort = Text();
    item.ApplicationName = Text();
    item.ModuleName = Text();
    item.FilePrefix = Text();
  } else {
    FFailed = true;
  }
  item.Text = Text();
  return !FFailed;
}

bool TPluginHostFrameBuffer::Next(TPluginHostFrameKind& kind, std::string_view& body) {
  if (FTaken > 0) {
    FBytes.erase(0, FTaken);
    FTaken = 0;
  }
  if (FBroken || FBytes.size() < 4) {
    return false;
  }
  const std::uint32_t length = LoadU32(FBytes.data());
  if (length == 0 || length > PluginHostMaxFrame) {
    FBroken = true;
    return false;
  }
  if (FBytes.size() - 4 < length) {
    return false;
  }
  kind = static_cast<TPluginHostFrameKind>(static_cast<unsigned char>(FBytes[4]));
  body = std::string_view(FBytes).substr(5, length - 1);
  FTaken = 4 + length;
  return true;
}

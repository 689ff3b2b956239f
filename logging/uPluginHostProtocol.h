#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The messages between the server and a plug-in host (KelvraPluginHost), over two pipes.
//
// Every frame: a 32-bit length of what follows, a kind byte, then the kind's body. Numbers are
// little-endian; a date-time is the 64-bit pattern of its double; a text is a 32-bit length and
// its bytes; counts are LogProvider_Statistics's four numbers, 64 bits each, after a u8 that is 1
// when the library gave them. The host runs a library whose path is its last command-line
// argument: a plug-in of "Providers", or with "--forwarder" before it a forwarder of "Forward".
//
//   host -> server  Loaded       u8 usable (1 when the library exports LogProvider_AddMessage,
//                                for a forwarder LogProvider_AddRecord), text: why it is not
//                                usable (empty when it is), u8 1 when it exports
//                                LogProvider_Statistics
//   server -> host  Initialize   six texts: LogProvider_Initialize's arguments
//   server -> host  Batch        u32 count, then count items, each a kind byte and its body:
//                                  Message  date-time client, date-time server, text
//                                  Record   date-time client, date-time server, texts peer
//                                           address, peer port, application, module, prefix, text
//   host -> server  Acknowledge  u32 count of items of the last batch that were handed over
//   server -> host  Statistics   nothing; answered at once, even while the library is inside a
//                                call (LogProvider_Statistics must allow that)
//   host -> server  Counts       counts
//   server -> host  Finalize     nothing; the host calls LogProvider_Finalize and ends
//   host -> server  Finalized    counts, asked after LogProvider_Finalize returned
//
// A plug-in's host delivers Message items only, a forwarder's Record items only (the peer port
// as decimal text); an item of the other kind is taken and acknowledged without a call.
// New item kinds extend a batch without touching the frames around it.
enum class TPluginHostFrameKind : std::uint8_t {
  Initialize = 1,
  Batch = 2,
  Finalize = 3,
  Statistics = 4,
  Loaded = 0x81,
  Acknowledge = 0x82,
  Finalized = 0x83,
  Counts = 0x84,
};

enum class TPluginHostItemKind : std::uint8_t {
  Message = 1,
  Record = 2,
};

// Frames longer than this are refused by the reader: a broken stream, not a real frame.
constexpr std::uint32_t PluginHostMaxFrame = 64u << 20;

// One item of a batch as read; the texts point into the frame.
struct TPluginHostItem {
  TPluginHostItemKind Kind = TPluginHostItemKind::Message;
  double ClientTime = 0;
  double ServerTime = 0;
  std::string_view PeerAddress;  // Record only, as the next four
  std::string_view PeerPort;
  std::string_view ApplicationName;
  std::string_view ModuleName;
  std::string_view FilePrefix;
  std::string_view Text;
};

// The counts of a Counts or Finalized frame.
struct TPluginHostCounts {
  bool Given = false;  // the library exports LogProvider_Statistics and was asked
  std::uint64_t Sent = 0;
  std::uint64_t Acknowledged = 0;
  std::uint64_t Spooled = 0;
  std::uint64_t Dropped = 0;
};

// Appends one item, as a batch holds it, to out.
void AppendPluginHostMessageItem(std::string& out, double clientTime, double serverTime,
                                 std::string_view text);
void AppendPluginHostRecordItem(std::string& out, double clientTime, double serverTime,
                                std::string_view peerAddress, std::string_view peerPort,
                                std::string_view applicationName, std::string_view moduleName,
                                std::string_view filePrefix, std::string_view text);

// Builds one frame at a time into a reused buffer.
class TPluginHostFrameWriter {
 public:
  void Begin(TPluginHostFrameKind kind);
  void U8(std::uint8_t value) { FFrame.push_back(static_cast<char>(value)); }
  void U32(std::uint32_t value);
  void Time(double value);
  void U64(std::uint64_t value);
  void Text(std::string_view text);
  void Counts(const TPluginHostCounts& counts);
  // Bytes already encoded, an item of AppendPluginHost...Item.
  void Raw(std::string_view bytes) { FFrame.append(bytes); }
  void MessageItem(double clientTime, double serverTime, std::string_view text);
  void RecordItem(double clientTime, double serverTime, std::string_view peerAddress,
                  std::string_view peerPort, std::string_view applicationName,
                  std::string_view moduleName, std::string_view filePrefix, std::string_view text);
  // The finished frame, its length filled in.
  const std::string& Finish();
  std::size_t Size() const { return FFrame.size(); }

 private:
  std::string FFrame;
};

// Reads the body of one frame; every read past its end (or of a bad item) sets Failed().
class TPluginHostFrameReader {
 public:
  explicit TPluginHostFrameReader(std::string_view body) : FBody(body) {}
  std::uint8_t U8();
  std::uint32_t U32();
  std::uint64_t U64();
  double Time();
  TPluginHostCounts Counts();
  std::string_view Text();
  // False, with Failed() set, for an unknown kind or a short item.
  bool Item(TPluginHostItem& item);
  bool Failed() const { return FFailed; }
  bool AtEnd() const { return FPosition == FBody.size(); }

 private:
  bool Take(std::size_t size);
  std::string_view FBody;
  std::size_t FPosition = 0;
  bool FFailed = false;
};

// Cuts a byte stream into frames.
class TPluginHostFrameBuffer {
 public:
  void Append(const char* data, std::size_t size) { FBytes.append(data, size); }
  // The next whole frame, if there is one; its body stays valid until the next call.
  bool Next(TPluginHostFrameKind& kind, std::string_view& body);
  // A frame announced a length of 0 or above PluginHostMaxFrame: the stream cannot be read on.
  bool Broken() const { return FBroken; }

 private:
  std::string FBytes;
  std::size_t FTaken = 0;  // bytes of FBytes already handed out
  bool FBroken = false;
};

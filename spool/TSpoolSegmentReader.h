#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

// Reads the record frames of one spool segment in order (see TSpool for the frame layout).
// One owner uses an object at a time; it has no lock.
class TSpoolSegmentReader {
 public:
  enum class TResult {
    Record,  // sequence and payload filled
    End,     // no more complete frames yet
    Torn,    // a frame that is damaged or cut: nothing after it is read
  };

  // Opens the segment from its beginning. False when it cannot be opened.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return FFile.is_open(); }
  const std::string& Path() const { return FPath; }

  // The next frame. A frame that is still being written by another owner reads as End, and a
  // later call reads it once it is complete.
  TResult Next(std::uint64_t& sequence, std::string& payload);

  // Byte offset just past the last complete frame read.
  std::uint64_t Offset() const { return FOffset; }

  // The frame for a record: header and payload, ready to be written with one call.
  static std::string Frame(std::uint64_t sequence, std::string_view payload);
  static constexpr std::uint32_t HeaderBytes = 20;
  // A frame announcing more than this is taken as damage.
  static constexpr std::uint32_t MaxPayloadBytes = 64u << 20;

 private:
  std::ifstream FFile;
  std::string FPath;
  std::uint64_t FOffset = 0;
  // After a frame read short the stream's position is off; the next read seeks back to FOffset.
  bool FSeek = false;
};

// The CRC-32 (IEEE 802.3) of bytes, continuing from crc.
std::uint32_t SpoolCrc32(std::string_view bytes, std::uint32_t crc = 0);

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The log record that a client sends in one TPKT packet. Every integer and the float are
// little-endian; offsets count from byte 0 of the payload, header included:
//
//   0  Marker (u8, must be 0)         1 TotalLength (u32)
//   5  ApplicationNameOffset (u32)    9 ApplicationNameLength (u32)
//   13 ModuleNameOffset (u32)        17 ModuleNameLength (u32)
//   21 FilePrefixOffset (u32)        25 FilePrefixLength (u32)
//   29 ClientTime (f64, OLE date, 0 = none)
//   37 TextOffset (u32)              41 TextLength (u32)
//   45 field area: the four texts at their offsets, in any order, without terminators
//
// Every field must end at or before TotalLength and within the bytes actually received.

inline constexpr std::uint32_t LogRecordHeaderSize = 45;

struct tLogRecord {
  std::string ApplicationName;
  std::string ModuleName;
  std::string FilePrefix;
  std::string Text;
  // An OLE Automation date in local time (days since 30 December 1899); 0 = none.
  double ClientTime = 0;
};

// The field of length bytes at offset, into text: valid when offset + length, computed without
// overflow, is at most totalLength and at most size. An empty field is checked the same way.
//   size 50, totalLength 50, offset 45, length 5 => true;  offset 46, length 5 => false
bool ExtractField(const std::uint8_t* payload, std::uint32_t size, std::uint32_t totalLength,
                  std::uint32_t offset, std::uint32_t length, std::string& text);

// Decodes one payload: false (record untouched or partly filled) when it is shorter than the
// header, its marker is not 0 or a field lies outside the bounds. The texts are taken byte for
// byte; the module-name-as-prefix rule is the server's.
bool DecodeLogRecord(const std::uint8_t* payload, std::uint32_t size, tLogRecord& record);

// The payload size of a record with these texts: 45 + the four lengths.
std::size_t LogRecordSize(std::string_view application, std::string_view module,
                          std::string_view prefix, std::string_view text);

// Appends the payload of a record laid out as above to out: header, then application name,
// module name, file prefix and text in this order, TotalLength the whole size. The caller keeps
// the size within 32 bits (a record that fits one frame always does).
void AppendLogRecord(std::string& out, std::string_view application, std::string_view module,
                     std::string_view prefix, std::string_view text, double clientTime);

// The payload of one record, as AppendLogRecord lays it out.
std::string EncodeLogRecord(const tLogRecord& record);

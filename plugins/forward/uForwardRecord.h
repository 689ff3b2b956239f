#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/uDateTime.h"

// One record as a forwarder gets it (LogProvider_AddRecord) and as the streams carry it.
struct TForwardRecord {
  TDateTime ClientTime = 0;  // the sender's stamp, 0 when the record carried none
  TDateTime ServerTime = 0;  // the server's local time when the record was routed
  std::string PeerAddress;
  std::uint16_t PeerPort = 0;
  std::string Application;
  std::string Module;
  std::string Prefix;
  std::string Text;

  bool operator==(const TForwardRecord&) const = default;
};

// The record as one JSON object on one line (no line end), fields in this order:
//
//   {"serverTime":"2024-03-07T14:05:09.120","clientTime":"2024-03-07T14:05:08.997",
//    "peerAddress":"10.1.2.3","peerPort":50123,"application":"Billing","module":"Core",
//    "prefix":"","text":"charge done"}
//
// Times are ISO 8601 local time with milliseconds and no zone (the server's clock, as in its
// files); a clientTime of 0 is null. A time that has no such form (a sender's stamp outside the
// years 1 to 9999) is the plain OLE Automation date as a JSON number; one that is not finite is
// null.
//
// Texts are byte strings, not necessarily UTF-8. Well-formed UTF-8 is kept as it is; '"', '\\'
// and the control characters 0x00-0x1F and 0x7F are escaped (\" \\ \n \r \t, else \u00XX).
// Every byte that is not part of well-formed UTF-8 (a stray 0x80-0xFF byte, an overlong form,
// an encoded surrogate, a code point above U+10FFFF, a cut sequence) becomes the escape of a
// lone low surrogate \uDCXX, XX being the byte: 0xE9 => \udce9. Well-formed UTF-8 never holds a
// surrogate, so the mapping is one to one, and the output is always valid UTF-8.
//
// A reader gets the exact bytes back by decoding the JSON string and turning each lone
// U+DC80..U+DCFF into the byte 0x80..0xFF: ParseRecordJson does this; in Python,
// json.loads(line)["text"].encode("utf-8", "surrogateescape") does the same. A reader that does
// not know the rule sees U+FFFD or the lone surrogate where the stray byte was, and the rest of
// the text intact.
//
// Any thread.
void AppendRecordJson(std::string& out, const TForwardRecord& record);
std::string RecordJson(const TForwardRecord& record);

// The inverse of RecordJson: fields in any order; unknown fields are skipped; every field of
// TForwardRecord must be present. Lone surrogates \uDC80..\uDCFF become their bytes again; any
// other lone surrogate is an error. False with a short reason in error on malformed input.
// Any thread.
bool ParseRecordJson(std::string_view json, TForwardRecord& record, std::string& error);

// An OLE Automation date as ISO 8601 local time with milliseconds, rounded as DecodeDateTime
// rounds: 45358.5868055556 => "2024-03-07T14:05:00.000". Empty when the value has no such form
// (not finite, or outside the years 1 to 9999). Any thread.
std::string FormatIsoLocalTime(TDateTime value);

// "yyyy-mm-ddThh:nn:ss.zzz" (the milliseconds optional) back to an OLE Automation date. False on
// anything else. Any thread.
bool ParseIsoLocalTime(std::string_view text, TDateTime& value);

// The key of the record's stream: address, application and module joined by '|'
// ("10.1.2.3|Billing|Core"). Records of one key keep their order (a Kafka partition key). Any
// thread.
std::string RecordStreamKey(const TForwardRecord& record);

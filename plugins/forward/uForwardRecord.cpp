#include "plugins/forward/uForwardRecord.h"

#include "plugins/forward/uJsonText.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

// OLE Automation dates of 30 December 1899 00:00 and 1 January 10000 00:00: the range that has an
// ISO form here.
constexpr double FirstIsoDate = 0.0;
constexpr double EndOfIsoDates = 2'958'466.0;

void AppendTime(std::string& out, TDateTime value) {
  if (value == 0 || !std::isfinite(value)) {
    out += "null";
    return;
  }
  const std::string iso = FormatIsoLocalTime(value);
  if (!iso.empty()) {
    out += '"';
    out += iso;
    out += '"';
    return;
  }
  char number[32];
  const auto result = std::to_chars(number, number + sizeof number, value);
  out.append(number, result.ptr);
}

void AppendCodePoint(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A reader of the one flat object RecordJson writes; values it does not need are skipped.
class TJsonReader {
 public:
  explicit TJsonReader(std::string_view text) : FText(text) {}

  std::string Error;

  void SkipBlanks() {
    while (FAt < FText.size() &&
           (FText[FAt] == ' ' || FText[FAt] == '\t' || FText[FAt] == '\n' || FText[FAt] == '\r')) {
      ++FAt;
    }
  }
  bool Take(char c) {
    SkipBlanks();
    if (FAt < FText.size() && FText[FAt] == c) {
      ++FAt;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    SkipBlanks();
    return FAt == FText.size();
  }
  char Peek() {
    SkipBlanks();
    return FAt < FText.size() ? FText[FAt] : '\0';
  }
  bool Fail(const char* reason) {
    if (Error.empty()) {
      Error = std::string(reason) + " at offset " + std::to_string(FAt);
    }
    return false;
  }

  bool String(std::string& out) {
    out.clear();
    if (!Take('"')) {
      return Fail("a string expected");
    }
    while (FAt < FText.size()) {
      const char c = FText[FAt++];
      if (c == '"') {
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        return Fail("a control character inside a string");
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (FAt >= FText.size()) {
        break;
      }
      const char e = FText[FAt++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned code = 0;
          if (!Hex4(code)) {
            return false;
          }
          if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (FAt + 1 < FText.size() && FText[FAt] == '\\' && FText[FAt + 1] == 'u') {
              FAt += 2;
              if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                return Fail("a high surrogate without its low half");
              }
              AppendCodePoint(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
            } else {
              return Fail("a high surrogate without its low half");
            }
          } else if (code >= 0xDC80 && code <= 0xDCFF) {
            out += static_cast<char>(code & 0xFF);  // a byte that was not UTF-8
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return Fail("a lone low surrogate that stands for no byte");
          } else {
            AppendCodePoint(out, code);
          }
          break;
        }
        default:
          return Fail("an unknown escape");
      }
    }
    return Fail("an unterminated string");
  }

  // A JSON number as text; false when there is none.
  bool Number(std::string_view& out) {
    SkipBlanks();
    const std::size_t start = FAt;
    while (FAt < FText.size() &&
           (std::isdigit(static_cast<unsigned char>(FText[FAt])) || FText[FAt] == '-' ||
            FText[FAt] == '+' || FText[FAt] == '.' || FText[FAt] == 'e' || FText[FAt] == 'E')) {
      ++FAt;
    }
    out = FText.substr(start, FAt - start);
    return !out.empty() || Fail("a number expected");
  }

  bool Literal(std::string_view word) {
    SkipBlanks();
    if (FText.substr(FAt, word.size()) == word) {
      FAt += word.size();
      return true;
    }
    return false;
  }

  // Skips any one value, nested ones included (depth-bounded).
  bool SkipValue(int depth = 0) {
    if (depth > 32) {
      return Fail("values nested too deep");
    }
    const char c = Peek();
    std::string text;
    std::string_view number;
    if (c == '"') {
      return String(text);
    }
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      Take(c);
      if (Take(close)) {
        return true;
      }
      do {
        if (c == '{' && (!String(text) || !Take(':'))) {
          return Fail("a member expected");
        }
        if (!SkipValue(depth + 1)) {
          return false;
        }
      } while (Take(','));
      return Take(close) || Fail("an unclosed object or array");
    }
    if (Literal("null") || Literal("true") || Literal("false")) {
      return true;
    }
    return Number(number);
  }

 private:
  bool Hex4(unsigned& code) {
    if (FAt + 4 > FText.size()) {
      return Fail("a cut \\u escape");
    }
    for (int i = 0; i < 4; ++i) {
      const char h = FText[FAt++];
      code <<= 4;
      if (h >= '0' && h <= '9') {
        code |= static_cast<unsigned>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        code |= static_cast<unsigned>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        code |= static_cast<unsigned>(h - 'A' + 10);
      } else {
        return Fail("a bad \\u escape");
      }
    }
    return true;
  }

  std::string_view FText;
  std::size_t FAt = 0;
};

bool ReadTime(TJsonReader& reader, TDateTime& value) {
  if (reader.Literal("null")) {
    value = 0;
    return true;
  }
  if (reader.Peek() == '"') {
    std::string text;
    return reader.String(text) &&
           (ParseIsoLocalTime(text, value) || reader.Fail("a time that is not ISO 8601"));
  }
  std::string_view number;
  if (!reader.Number(number)) {
    return false;
  }
  const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  return (result.ec == std::errc() && result.ptr == number.data() + number.size()) ||
         reader.Fail("a bad number");
}

}  // namespace

std::string FormatIsoLocalTime(TDateTime value) {
  if (!std::isfinite(value) || value < FirstIsoDate || value >= EndOfIsoDates) {
    return {};
  }
  const TDateTimeParts p = DecodeDateTime(value);
  if (p.Year < 1 || p.Year > 9999) {
    return {};  // rounded up into the year 10000
  }
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", p.Year, p.Month, p.Day,
                p.Hour, p.Minute, p.Second, p.Millisecond);
  return text;
}

bool ParseIsoLocalTime(std::string_view text, TDateTime& value) {
  // yyyy-mm-ddThh:nn:ss[.zzz]
  if (text.size() != 19 && text.size() != 23) {
    return false;
  }
  auto digits = [&](std::size_t at, std::size_t count, int& out) {
    out = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9') {
        return false;
      }
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  if (!digits(0, 4, year) || text[4] != '-' || !digits(5, 2, month) || text[7] != '-' ||
      !digits(8, 2, day) || text[10] != 'T' || !digits(11, 2, hour) || text[13] != ':' ||
      !digits(14, 2, minute) || text[16] != ':' || !digits(17, 2, second)) {
    return false;
  }
  if (text.size() == 23 && (text[19] != '.' || !digits(20, 3, ms))) {
    return false;
  }
  static constexpr int DaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth[month - 1] ||
      (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  value = EncodeDateTime(year, month, day, hour, minute, second, ms);
  return true;
}

void AppendRecordJson(std::string& out, const TForwardRecord& record) {
  out += "{\"serverTime\":";
  AppendTime(out, record.ServerTime);
  out += ",\"clientTime\":";
  AppendTime(out, record.ClientTime);
  out += ",\"peerAddress\":";
  AppendJsonString(out, record.PeerAddress);
  out += ",\"peerPort\":";
  out += std::to_string(record.PeerPort);
  out += ",\"application\":";
  AppendJsonString(out, record.Application);
  out += ",\"module\":";
  AppendJsonString(out, record.Module);
  out += ",\"prefix\":";
  AppendJsonString(out, record.Prefix);
  out += ",\"text\":";
  AppendJsonString(out, record.Text);
  out += '}';
}

std::string RecordJson(const TForwardRecord& record) {
  std::string out;
  out.reserve(160 + record.Text.size());
  AppendRecordJson(out, record);
  return out;
}

bool ParseRecordJson(std::string_view json, TForwardRecord& record, std::string& error) {
  TJsonReader reader(json);
  TForwardRecord parsed;
  enum : unsigned {
    ServerSeen = 1,
    ClientSeen = 2,
    AddressSeen = 4,
    PortSeen = 8,
    ApplicationSeen = 16,
    ModuleSeen = 32,
    PrefixSeen = 64,
    TextSeen = 128,
    AllSeen = 255
  };
  unsigned seen = 0;
  bool ok = reader.Take('{') || reader.Fail("an object expected");
  if (ok && !reader.Take('}')) {
    do {
      std::string name;
      ok = reader.String(name) && (reader.Take(':') || reader.Fail("':' expected"));
      if (!ok) {
        break;
      }
      if (name == "serverTime") {
        ok = ReadTime(reader, parsed.ServerTime);
        seen |= ServerSeen;
      } else if (name == "clientTime") {
        ok = ReadTime(reader, parsed.ClientTime);
        seen |= ClientSeen;
      } else if (name == "peerAddress") {
        ok = reader.String(parsed.PeerAddress);
        seen |= AddressSeen;
      } else if (name == "peerPort") {
        std::string_view number;
        unsigned port = 0;
        ok = reader.Number(number);
        if (ok) {
          const auto result = std::from_chars(number.data(), number.data() + number.size(), port);
          ok = (result.ec == std::errc() && result.ptr == number.data() + number.size() &&
                port <= 65535) ||
               reader.Fail("a port that is not 0 to 65535");
        }
        parsed.PeerPort = static_cast<std::uint16_t>(port);
        seen |= PortSeen;
      } else if (name == "application") {
        ok = reader.String(parsed.Application);
        seen |= ApplicationSeen;
      } else if (name == "module") {
        ok = reader.String(parsed.Module);
        seen |= ModuleSeen;
      } else if (name == "prefix") {
        ok = reader.String(parsed.Prefix);
        seen |= PrefixSeen;
      } else if (name == "text") {
        ok = reader.String(parsed.Text);
        seen |= TextSeen;
      } else {
        ok = reader.SkipValue();
      }
    } while (ok && reader.Take(','));
    ok = ok && (reader.Take('}') || reader.Fail("'}' expected"));
  }
  ok = ok && (reader.AtEnd() || reader.Fail("text after the object"));
  if (ok && seen != AllSeen) {
    ok = reader.Fail("a field of the record is missing");
  }
  if (!ok) {
    error = reader.Error;
    return false;
  }
  record = std::move(parsed);
  return true;
}

std::string RecordStreamKey(const TForwardRecord& record) {
  std::string key;
  key.reserve(record.PeerAddress.size() + record.Application.size() + record.Module.size() + 2);
  key += record.PeerAddress;
  key += '|';
  key += record.Application;
  key += '|';
  key += record.Module;
  return key;
}

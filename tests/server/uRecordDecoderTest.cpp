#include "server/uRecordDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

namespace {

// A header written field by field, so that every bound can be set by hand.
struct Header {
  std::uint8_t Marker = 0;
  std::uint32_t TotalLength = LogRecordHeaderSize;
  std::uint32_t AppOffset = 45, AppLength = 0;
  std::uint32_t ModuleOffset = 45, ModuleLength = 0;
  std::uint32_t PrefixOffset = 45, PrefixLength = 0;
  double ClientTime = 0;
  std::uint32_t TextOffset = 45, TextLength = 0;
};

void Put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// The header followed by the field area.
std::vector<std::uint8_t> Payload(const Header& header, const std::string& area = "") {
  std::vector<std::uint8_t> bytes(LogRecordHeaderSize + area.size());
  bytes[0] = header.Marker;
  Put32(bytes, 1, header.TotalLength);
  Put32(bytes, 5, header.AppOffset);
  Put32(bytes, 9, header.AppLength);
  Put32(bytes, 13, header.ModuleOffset);
  Put32(bytes, 17, header.ModuleLength);
  Put32(bytes, 21, header.PrefixOffset);
  Put32(bytes, 25, header.PrefixLength);
  std::memcpy(&bytes[29], &header.ClientTime, 8);  // the test machine is little-endian
  Put32(bytes, 37, header.TextOffset);
  Put32(bytes, 41, header.TextLength);
  std::copy(area.begin(), area.end(), bytes.begin() + LogRecordHeaderSize);
  return bytes;
}

bool Decode(const std::vector<std::uint8_t>& bytes, tLogRecord& record) {
  return DecodeLogRecord(bytes.data(), static_cast<std::uint32_t>(bytes.size()), record);
}

TEST(uRecordDecoderTest, HeaderOnlyRecordHasFourEmptyTexts) {
  tLogRecord record;
  record.Text = "stale";
  ASSERT_TRUE(Decode(Payload(Header{}), record));
  EXPECT_EQ(record.ApplicationName, "");
  EXPECT_EQ(record.ModuleName, "");
  EXPECT_EQ(record.FilePrefix, "");
  EXPECT_EQ(record.Text, "");
}

TEST(uRecordDecoderTest, FieldsAreTakenByteForByteAtTheirOffsetsInAnyOrder) {
  // Area: "msg\x00\xff" at 45, "Core" at 50, "App" at 54, "pre" at 57.
  const std::string area(
      "msg\0\xff"
      "Core"
      "App"
      "pre",
      15);
  Header header;
  header.TotalLength = 45 + 15;
  header.TextOffset = 45, header.TextLength = 5;
  header.ModuleOffset = 50, header.ModuleLength = 4;
  header.AppOffset = 54, header.AppLength = 3;
  header.PrefixOffset = 57, header.PrefixLength = 3;
  header.ClientTime = 45358.587;
  tLogRecord record;
  ASSERT_TRUE(Decode(Payload(header, area), record));
  EXPECT_EQ(record.ApplicationName, "App");
  EXPECT_EQ(record.ModuleName, "Core");
  EXPECT_EQ(record.FilePrefix, "pre");
  EXPECT_EQ(record.Text, std::string("msg\0\xff", 5));
  EXPECT_EQ(record.ClientTime, 45358.587);
}

TEST(uRecordDecoderTest, ClientTimeIsLittleEndian) {
  std::vector<std::uint8_t> bytes = Payload(Header{});
  // 1.5 is 0x3FF8000000000000.
  const std::uint8_t oneAndAHalf[8] = {0, 0, 0, 0, 0, 0, 0xF8, 0x3F};
  std::memcpy(&bytes[29], oneAndAHalf, 8);
  tLogRecord record;
  ASSERT_TRUE(Decode(bytes, record));
  EXPECT_EQ(record.ClientTime, 1.5);
}

TEST(uRecordDecoderTest, BoundsAndMarker) {
  struct Case {
    const char* Name;
    Header Fields;
    std::string Area;
    std::size_t CutTo;  // bytes actually received; 0 = all
    bool Valid;
  };
  const auto with = [](auto change) {
    Header header;
    change(header);
    return header;
  };
  const std::vector<Case> cases = {
      {"44 bytes", Header{}, "", 44, false},
      {"marker 1", with([](Header& h) { h.Marker = 1; }), "", 0, false},
      {"text ends at TotalLength", with([](Header& h) { h.TotalLength = 50, h.TextLength = 5; }),
       "hello", 0, true},
      {"text one byte past TotalLength",
       with([](Header& h) { h.TotalLength = 49, h.TextLength = 5; }), "hello", 0, false},
      {"field in received bytes beyond TotalLength",
       with([](Header& h) { h.TotalLength = 45, h.AppLength = 2; }), "ab", 0, false},
      {"TotalLength beyond the received bytes",
       with([](Header& h) { h.TotalLength = 100, h.ModuleLength = 6; }), "abcde", 0, false},
      {"TotalLength beyond, field inside",
       with([](Header& h) { h.TotalLength = 100, h.ModuleLength = 5; }), "abcde", 0, true},
      {"offset near 2^32 wraps with the length", with([](Header& h) {
         h.TotalLength = 0xFFFFFFFF, h.PrefixOffset = 0xFFFFFFFF, h.PrefixLength = 2;
       }),
       "", 0, false},
      {"length near 2^32 wraps with the offset", with([](Header& h) {
         h.TotalLength = 0xFFFFFFFF, h.TextOffset = 46, h.TextLength = 0xFFFFFFF0;
       }),
       "abc", 0, false},
      {"empty field beyond TotalLength",
       with([](Header& h) { h.TotalLength = 45, h.AppOffset = 46; }), "x", 0, false},
      {"empty field at TotalLength", with([](Header& h) { h.AppOffset = 45; }), "", 0, true},
      {"offset inside the header", with([](Header& h) { h.TextOffset = 1, h.TextLength = 4; }), "",
       0, true},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes = Payload(c.Fields, c.Area);
    if (c.CutTo != 0) {
      bytes.resize(c.CutTo);
    }
    tLogRecord record;
    EXPECT_EQ(Decode(bytes, record), c.Valid) << c.Name;
  }
}

TEST(uRecordDecoderTest, ExtractFieldChecksBothBounds) {
  const std::vector<std::uint8_t> bytes(60, 'a');
  std::string text = "x";
  EXPECT_TRUE(ExtractField(bytes.data(), 60, 60, 60, 0, text));
  EXPECT_EQ(text, "");
  EXPECT_TRUE(ExtractField(bytes.data(), 60, 70, 50, 10, text));
  EXPECT_EQ(text, "aaaaaaaaaa");
  EXPECT_FALSE(ExtractField(bytes.data(), 60, 70, 50, 11, text));
  EXPECT_FALSE(ExtractField(bytes.data(), 60, 55, 50, 6, text));
  EXPECT_FALSE(ExtractField(bytes.data(), 60, 0xFFFFFFFF, 0x80000000, 0x80000000, text));
}

TEST(uRecordDecoderTest, EncodedRecordDecodesToItself) {
  tLogRecord in;
  in.ApplicationName = "Billing";
  in.ModuleName = "Core";
  in.FilePrefix = "";
  in.Text = std::string("line \0 with NUL", 15);
  in.ClientTime = 45000.25;
  const std::string payload = EncodeLogRecord(in);
  tLogRecord out;
  ASSERT_TRUE(DecodeLogRecord(reinterpret_cast<const std::uint8_t*>(payload.data()),
                              static_cast<std::uint32_t>(payload.size()), out));
  EXPECT_EQ(out.ApplicationName, in.ApplicationName);
  EXPECT_EQ(out.ModuleName, in.ModuleName);
  EXPECT_EQ(out.FilePrefix, in.FilePrefix);
  EXPECT_EQ(out.Text, in.Text);
  EXPECT_EQ(out.ClientTime, in.ClientTime);
}

// Random headers whose values cluster at the bounds: a record decodes exactly when every field
// ends within both TotalLength and the received bytes, and each text is its bytes. Under the
// address sanitizer this also shows that no field is read out of bounds.
TEST(uRecordDecoderTest, RandomHeadersDecodeExactlyWhenEveryFieldIsInBounds) {
  std::mt19937 random(20240307);
  const auto pick = [&](std::uint32_t size) -> std::uint32_t {
    const std::uint32_t interesting[] = {
        0, 1, 44, 45, size - 1, size, size + 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF0};
    return random() % 3 == 0 ? static_cast<std::uint32_t>(random() % (size + 8))
                             : interesting[random() % std::size(interesting)];
  };
  int valid = 0;
  for (int round = 0; round < 20000; ++round) {
    const std::uint32_t size = 45 + random() % 40;
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes) {
      byte = static_cast<std::uint8_t>(random());
    }
    bytes[0] = random() % 8 == 0 ? 1 : 0;
    const std::uint32_t totalLength = random() % 2 == 0 ? size : pick(size);
    Put32(bytes, 1, totalLength);
    bool inBounds = bytes[0] == 0;
    for (const std::size_t at : {5, 13, 21, 37}) {
      const std::uint32_t offset = pick(size);
      const std::uint32_t length = random() % 2 == 0 ? random() % 8 : pick(size);
      Put32(bytes, at, offset);
      Put32(bytes, at + 4, length);
      const std::uint64_t end = std::uint64_t{offset} + length;
      inBounds = inBounds && end <= totalLength && end <= size;
    }
    tLogRecord record;
    ASSERT_EQ(Decode(bytes, record), inBounds) << "round " << round;
    if (inBounds) {
      ++valid;
      const auto field = [&](std::size_t at) {
        const std::uint32_t offset = bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                     static_cast<std::uint32_t>(bytes[at + 3]) << 24;
        const std::uint32_t length = bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 |
                                     static_cast<std::uint32_t>(bytes[at + 7]) << 24;
        return std::string(bytes.begin() + offset, bytes.begin() + offset + length);
      };
      EXPECT_EQ(record.ApplicationName, field(5));
      EXPECT_EQ(record.ModuleName, field(13));
      EXPECT_EQ(record.FilePrefix, field(21));
      EXPECT_EQ(record.Text, field(37));
    }
  }
  // Both outcomes were exercised.
  EXPECT_GT(valid, 100);
  EXPECT_LT(valid, 19000);
}

TEST(uRecordDecoderTest, SyslogTextLosesOnlyTrailingControlBytesAndBlanks) {
  const struct {
    std::string In;
    std::string Out;
  } cases[] = {
      {std::string("<13>hello\r\n\0", 12), "<13>hello"},
      {"   ", ""},
      {"", ""},
      {"  leading kept", "  leading kept"},
      {std::string("a\x01\x1f \t", 5), "a"},
      {"tail!\x7f", "tail!\x7f"},
      {"inner\r\nkept\n", "inner\r\nkept"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SyslogText(reinterpret_cast<const std::uint8_t*>(c.In.data()),
                         static_cast<std::uint32_t>(c.In.size())),
              c.Out);
  }
}

}  // namespace

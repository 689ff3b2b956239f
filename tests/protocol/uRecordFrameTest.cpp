#include "protocol/uRecordFrame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

// The record carried by the first frame of out, decoded by the server's decoder.
bool DecodeFrame(const std::string& frame, tLogRecord& record) {
  if (frame.size() < TPKTHeaderSize || !IsTPKTHeaderStart(Bytes(frame)) ||
      TPKTDeclaredLength(Bytes(frame)) != frame.size()) {
    return false;
  }
  return DecodeLogRecord(Bytes(frame) + TPKTHeaderSize,
                         static_cast<std::uint32_t>(frame.size() - TPKTHeaderSize), record);
}

TEST(uRecordFrameTest, FrameOfARecordIsTheTpktHeaderThenTheLayoutByteForByte) {
  std::string frame;
  ASSERT_TRUE(AppendRecordFrame(frame, "A", "Mo", "", "hey", 0.5));
  // 4 + 45 + 6 bytes; TotalLength 51; the texts follow the header in the order app, module,
  // prefix, text; 0.5 is 00 .. 00 E0 3F.
  const std::string expected = std::string("\x03\x00\x00\x37", 4) + std::string(1, '\0') +
                               std::string("\x33\0\0\0", 4) +                      // total
                               std::string("\x2D\0\0\0\x01\0\0\0", 8) +            // app
                               std::string("\x2E\0\0\0\x02\0\0\0", 8) +            // module
                               std::string("\x30\0\0\0\0\0\0\0", 8) +              // prefix
                               std::string("\0\0\0\0\0\0\xE0\x3F", 8) +            // time
                               std::string("\x30\0\0\0\x03\0\0\0", 8) + "AMohey";  // text
  EXPECT_EQ(frame, expected);
  EXPECT_EQ(RecordFrameSize("A", "Mo", "", "hey"), expected.size());
}

TEST(uRecordFrameTest, RecordsRoundTripThroughTheServersDecoder) {
  struct TCase {
    std::string Application, Module, Prefix, Text;
    double Time;
  };
  const std::vector<TCase> cases = {
      {"", "", "", "", 0},
      {"Billing", "Core", "web", "invoice 42 paid", 45358.587},
      {"A", "B", "", std::string("nul\0inside\r\n", 12), -1.25},
      {"\xC3\xA9t\xC3\xA9", "m", "p", "\xFF\xFE bytes as they are", 1e-9},
      {"x", "", "", std::string(MaxRecordTextBytes - 1, 't'), 2.0},
  };
  for (const auto& c : cases) {
    std::string frame;
    ASSERT_TRUE(AppendRecordFrame(frame, c.Application, c.Module, c.Prefix, c.Text, c.Time));
    tLogRecord decoded;
    ASSERT_TRUE(DecodeFrame(frame, decoded)) << c.Text.size();
    EXPECT_EQ(decoded.ApplicationName, c.Application);
    EXPECT_EQ(decoded.ModuleName, c.Module);
    EXPECT_EQ(decoded.FilePrefix, c.Prefix);
    EXPECT_EQ(decoded.Text, c.Text);
    EXPECT_EQ(decoded.ClientTime, c.Time);
  }
}

TEST(uRecordFrameTest, TextsOfAllFourFieldsTogetherAreLimitedToOneFrame) {
  struct TCase {
    std::size_t Application, Module, Prefix, Text;
    bool Fits;
  };
  const std::size_t max = MaxRecordTextBytes;
  ASSERT_EQ(max, 65531u - 45u);
  const std::vector<TCase> cases = {
      {0, 0, 0, max, true},        {0, 0, 0, max + 1, false}, {1, 2, 3, max - 6, true},
      {1, 2, 3, max - 5, false},   {max, 0, 0, 0, true},      {0, 0, max + 1, 0, false},
      {max, max, max, max, false},
  };
  for (const auto& c : cases) {
    const std::string a(c.Application, 'a'), m(c.Module, 'm'), p(c.Prefix, 'p'), t(c.Text, 't');
    std::string out = "kept";
    EXPECT_EQ(AppendRecordFrame(out, a, m, p, t, 0), c.Fits)
        << c.Application << " " << c.Module << " " << c.Prefix << " " << c.Text;
    if (c.Fits) {
      EXPECT_LE(out.size() - 4, TPKTMaxFrameSize);
      tLogRecord decoded;
      EXPECT_TRUE(DecodeFrame(out.substr(4), decoded));
    } else {
      EXPECT_EQ(out, "kept");
    }
  }
}

TEST(uRecordFrameTest, FramesAppendBehindEachOther) {
  std::string stream;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(AppendRecordFrame(stream, "A", "M", "", "r" + std::to_string(i), 0));
  }
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t length = TPKTDeclaredLength(Bytes(stream) + at);
    tLogRecord decoded;
    ASSERT_TRUE(DecodeFrame(stream.substr(at, length), decoded));
    EXPECT_EQ(decoded.Text, "r" + std::to_string(i));
    at += length;
  }
  EXPECT_EQ(at, stream.size());
}

}  // namespace

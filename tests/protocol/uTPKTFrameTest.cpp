#include "protocol/uTPKTFrame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(uTPKTFrameTest, HeaderCarriesTheWholeFrameLengthBigEndian) {
  struct TCase {
    std::size_t Payload;
    std::vector<int> Header;  // empty: refused
  };
  const std::vector<TCase> cases = {
      {0, {0x03, 0x00, 0x00, 0x04}},
      {1, {0x03, 0x00, 0x00, 0x05}},
      {252, {0x03, 0x00, 0x01, 0x00}},
      {65531, {0x03, 0x00, 0xFF, 0xFF}},
      {65532, {}},
      {1u << 20, {}},
  };
  for (const auto& c : cases) {
    std::uint8_t header[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    const bool written = WriteTPKTHeader(header, c.Payload);
    ASSERT_EQ(written, !c.Header.empty()) << c.Payload;
    if (!written) {
      EXPECT_EQ(header[0], 0xAA);
      continue;
    }
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(header[i], c.Header[i]) << c.Payload << " byte " << i;
    }
    EXPECT_TRUE(IsTPKTHeaderStart(header));
    EXPECT_EQ(TPKTDeclaredLength(header), c.Payload + 4);
  }
}

TEST(uTPKTFrameTest, AppendedFrameIsHeaderThenPayloadAndTooLargeLeavesOutUnchanged) {
  std::string out = "x";
  ASSERT_TRUE(AppendTPKTFrame(out, "ab", 2));
  EXPECT_EQ(out, std::string("x\x03\x00\x00\x06"
                             "ab",
                             7));
  ASSERT_TRUE(AppendTPKTFrame(out, nullptr, 0));
  EXPECT_EQ(out.substr(7), std::string("\x03\x00\x00\x04", 4));
  const std::string big(TPKTMaxPayloadSize + 1, 'b');
  EXPECT_FALSE(AppendTPKTFrame(out, big.data(), big.size()));
  EXPECT_EQ(out.size(), 11u);
}

TEST(uTPKTFrameTest, HeaderStartNeedsBothBytes) {
  const std::vector<std::pair<std::vector<std::uint8_t>, bool>> cases = {
      {{0x03, 0x00}, true}, {{0x03, 0x01}, false}, {{0x00, 0x03}, false}, {{0x13, 0x00}, false}};
  for (const auto& [bytes, start] : cases) {
    EXPECT_EQ(IsTPKTHeaderStart(bytes.data()), start) << int(bytes[0]) << " " << int(bytes[1]);
  }
}

}  // namespace

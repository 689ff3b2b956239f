#include "plugins/forward/uForwardRecord.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

TForwardRecord Sample(std::string text) {
  TForwardRecord record;
  record.ServerTime = EncodeDateTime(2024, 3, 7, 14, 5, 9, 120);
  record.ClientTime = EncodeDateTime(2024, 3, 7, 14, 5, 8, 997);
  record.PeerAddress = "10.1.2.3";
  record.PeerPort = 50123;
  record.Application = "Billing";
  record.Module = "Core";
  record.Prefix = "";
  record.Text = std::move(text);
  return record;
}

// The JSON string the text becomes: what stands between "text": and the closing brace.
std::string TextJson(const std::string& text) {
  const std::string json = RecordJson(Sample(text));
  const std::size_t at = json.find("\"text\":");
  return json.substr(at + 7, json.size() - at - 8);
}

TEST(ForwardRecordJsonTest, WholeObjectHasTheFieldsInOrder) {
  EXPECT_EQ(
      RecordJson(Sample("charge done")),
      "{\"serverTime\":\"2024-03-07T14:05:09.120\",\"clientTime\":\"2024-03-07T14:05:08.997\","
      "\"peerAddress\":\"10.1.2.3\",\"peerPort\":50123,\"application\":\"Billing\","
      "\"module\":\"Core\",\"prefix\":\"\",\"text\":\"charge done\"}");
}

TEST(ForwardRecordJsonTest, ClientTimeZeroIsNull) {
  TForwardRecord record = Sample("x");
  record.ClientTime = 0;
  EXPECT_NE(RecordJson(record).find("\"clientTime\":null,"), std::string::npos);
}

struct TEscapeCase {
  const char* Name;
  std::string Text;
  std::string Json;
};

TEST(ForwardRecordJsonTest, TextEscaping) {
  const TEscapeCase cases[] = {
      {"plain", "abc", "\"abc\""},
      {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line ends and tab", "a\r\n\tb", "\"a\\r\\n\\tb\""},
      {"other controls", std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\\u007f\""},
      {"zero byte", std::string("a\0b", 3), "\"a\\u0000b\""},
      {"two-byte UTF-8 kept", "caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"three-byte UTF-8 kept", "\xE2\x82\xAC", "\"\xE2\x82\xAC\""},
      {"four-byte UTF-8 kept", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"Latin-1 byte", "caf\xE9", "\"caf\\udce9\""},
      {"stray continuation", "\x80", "\"\\udc80\""},
      {"overlong slash", "\xC0\xAF", "\"\\udcc0\\udcaf\""},
      {"encoded surrogate", "\xED\xA0\x80", "\"\\udced\\udca0\\udc80\""},
      {"above U+10FFFF", "\xF4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},
      {"cut sequence at the end", "a\xE2\x82", "\"a\\udce2\\udc82\""},
      {"cut sequence before ASCII", "\xE2\x82z", "\"\\udce2\\udc82z\""},
      {"0xFF", "\xFF", "\"\\udcff\""},
  };
  for (const TEscapeCase& c : cases) {
    EXPECT_EQ(TextJson(c.Text), c.Json) << c.Name;
    TForwardRecord back;
    std::string error;
    ASSERT_TRUE(ParseRecordJson(RecordJson(Sample(c.Text)), back, error))
        << c.Name << ": " << error;
    EXPECT_EQ(back.Text, c.Text) << c.Name;
  }
}

TEST(ForwardRecordJsonTest, EveryByteStringComesBackExactly) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> length(0, 40);
  for (int round = 0; round < 5000; ++round) {
    TForwardRecord record = Sample("");
    for (std::string* field :
         {&record.Text, &record.Application, &record.Module, &record.Prefix, &record.PeerAddress}) {
      const int n = length(random);
      for (int i = 0; i < n; ++i) {
        *field += static_cast<char>(byte(random));
      }
    }
    record.PeerPort = static_cast<std::uint16_t>(round * 13);
    const std::string json = RecordJson(record);
    TForwardRecord back;
    std::string error;
    ASSERT_TRUE(ParseRecordJson(json, back, error)) << error << " in " << json;
    ASSERT_EQ(back, record) << json;
  }
}

TEST(ForwardRecordJsonTest, ReaderTakesFieldsInAnyOrderAndSkipsUnknownOnes) {
  const std::string json =
      "{ \"text\" : \"t\\u00e9\\ud83d\\ude00\", \"extra\": {\"a\":[1,2,{\"b\":null}]}, "
      "\"prefix\":\"p\", \"module\":\"m\", \"application\":\"a\", \"peerPort\": 514, "
      "\"peerAddress\":\"10.0.0.5\", \"clientTime\": null, \"serverTime\":\"2024-03-07T14:05:09\", "
      "\"flag\": true }";
  TForwardRecord record;
  std::string error;
  ASSERT_TRUE(ParseRecordJson(json, record, error)) << error;
  EXPECT_EQ(record.Text, "t\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(record.PeerPort, 514);
  EXPECT_EQ(record.ClientTime, 0);
  EXPECT_EQ(record.ServerTime, EncodeDateTime(2024, 3, 7, 14, 5, 9, 0));
}

TEST(ForwardRecordJsonTest, MalformedInputIsRefusedWithAReason) {
  const std::string good = RecordJson(Sample("x"));
  const std::string cases[] = {
      "",
      "[]",
      good.substr(0, good.size() - 1),
      good + "x",
      "{\"serverTime\":null}",
      "{\"text\":\"\\udc41\",\"serverTime\":null}",
      "{\"text\":\"\\ud800x\"}",
      "{\"text\":\"\\uZZZZ\"}",
      "{\"text\":\"a\nb\"}",
      "{\"text\":\"\\q\"}",
  };
  for (const std::string& json : cases) {
    TForwardRecord record;
    std::string error;
    EXPECT_FALSE(ParseRecordJson(json, record, error)) << json;
    EXPECT_FALSE(error.empty()) << json;
  }
  std::string port = good;
  port.replace(port.find("50123"), 5, "65536");
  TForwardRecord record;
  std::string error;
  EXPECT_FALSE(ParseRecordJson(port, record, error));
}

struct TTimeCase {
  TDateTime Value;
  const char* Iso;  // "" when the value has no ISO form
};

TEST(ForwardRecordJsonTest, IsoLocalTime) {
  const TTimeCase cases[] = {
      {EncodeDateTime(2024, 3, 7, 14, 5, 9, 120), "2024-03-07T14:05:09.120"},
      {EncodeDateTime(2024, 2, 29, 0, 0, 0, 0), "2024-02-29T00:00:00.000"},
      {EncodeDateTime(1999, 12, 31, 23, 59, 59, 999), "1999-12-31T23:59:59.999"},
      {EncodeDateTime(9999, 12, 31, 23, 59, 59, 999), "9999-12-31T23:59:59.999"},
      {0.5, "1899-12-30T12:00:00.000"},
      // Half a millisecond before midnight rounds into the next day, as the files show it.
      {EncodeDateTime(2024, 3, 7, 23, 59, 59, 999) + 0.6 / 86'400'000.0, "2024-03-08T00:00:00.000"},
      {-1.25, ""},
      {3e6, ""},
      {std::nan(""), ""},
  };
  for (const TTimeCase& c : cases) {
    EXPECT_EQ(FormatIsoLocalTime(c.Value), c.Iso) << c.Value;
    if (*c.Iso != '\0') {
      TDateTime back = 0;
      ASSERT_TRUE(ParseIsoLocalTime(c.Iso, back)) << c.Iso;
      EXPECT_EQ(FormatIsoLocalTime(back), c.Iso);
    }
  }
  for (const char* bad : {"2024-02-30T00:00:00.000", "2023-02-29T00:00:00", "2024-03-07 14:05:09",
                          "2024-13-01T00:00:00", "2024-03-07T24:00:00", "2024-03-07T14:05:09.12",
                          "0000-01-01T00:00:00"}) {
    TDateTime value = 0;
    EXPECT_FALSE(ParseIsoLocalTime(bad, value)) << bad;
  }
}

TEST(ForwardRecordJsonTest, TimesWithoutIsoFormTravelAsNumbers) {
  TForwardRecord record = Sample("x");
  record.ClientTime = -693000.75;
  const std::string json = RecordJson(record);
  EXPECT_NE(json.find("\"clientTime\":-693000.75,"), std::string::npos) << json;
  TForwardRecord back;
  std::string error;
  ASSERT_TRUE(ParseRecordJson(json, back, error)) << error;
  EXPECT_EQ(back.ClientTime, record.ClientTime);
}

TEST(ForwardRecordJsonTest, StreamKeyJoinsAddressApplicationAndModule) {
  EXPECT_EQ(RecordStreamKey(Sample("x")), "10.1.2.3|Billing|Core");
}

}  // namespace

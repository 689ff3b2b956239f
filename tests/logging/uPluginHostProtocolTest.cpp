#include "logging/uPluginHostProtocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(uPluginHostProtocolTest, ABatchOfBothItemKindsReadsBackAsWritten) {
  using namespace std::string_view_literals;
  TPluginHostFrameWriter writer;
  writer.Begin(TPluginHostFrameKind::Batch);
  writer.U32(3);
  writer.MessageItem(45358.25, -1.5, "first");
  writer.RecordItem(0, 45400.125, "10.0.0.5", "514", "App", "Mod", "", "a\0b"sv);
  writer.MessageItem(1e300, 0, "");
  const std::string frame = writer.Finish();

  // Fed one byte at a time, as a pipe may hand it over.
  TPluginHostFrameBuffer buffer;
  TPluginHostFrameKind kind{};
  std::string_view body;
  for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
    buffer.Append(frame.data() + i, 1);
    ASSERT_FALSE(buffer.Next(kind, body));
  }
  buffer.Append(frame.data() + frame.size() - 1, 1);
  ASSERT_TRUE(buffer.Next(kind, body));
  EXPECT_EQ(kind, TPluginHostFrameKind::Batch);

  TPluginHostFrameReader reader(body);
  EXPECT_EQ(reader.U32(), 3u);
  TPluginHostItem item;
  ASSERT_TRUE(reader.Item(item));
  EXPECT_EQ(item.Kind, TPluginHostItemKind::Message);
  EXPECT_EQ(item.ClientTime, 45358.25);
  EXPECT_EQ(item.ServerTime, -1.5);
  EXPECT_EQ(item.Text, "first");
  ASSERT_TRUE(reader.Item(item));
  EXPECT_EQ(item.Kind, TPluginHostItemKind::Record);
  EXPECT_EQ(item.ServerTime, 45400.125);
  EXPECT_EQ(item.PeerAddress, "10.0.0.5");
  EXPECT_EQ(item.PeerPort, "514");
  EXPECT_EQ(item.ApplicationName, "App");
  EXPECT_EQ(item.ModuleName, "Mod");
  EXPECT_EQ(item.FilePrefix, "");
  EXPECT_EQ(item.Text, "a\0b"sv);
  ASSERT_TRUE(reader.Item(item));
  EXPECT_EQ(item.ClientTime, 1e300);
  EXPECT_EQ(item.Text, "");
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_FALSE(reader.Failed());
}

TEST(uPluginHostProtocolTest, ShortOrUnknownItemsFail) {
  TPluginHostFrameWriter writer;
  writer.Begin(TPluginHostFrameKind::Batch);
  writer.MessageItem(1, 2, "text");
  const std::string frame = writer.Finish();
  const std::string_view body = std::string_view(frame).substr(5);
  for (std::size_t cut = 0; cut < body.size(); ++cut) {
    SCOPED_TRACE(cut);
    TPluginHostFrameReader reader(body.substr(0, cut));
    TPluginHostItem item;
    EXPECT_FALSE(reader.Item(item));
    EXPECT_TRUE(reader.Failed());
  }
  std::string unknown(body);
  unknown[0] = 9;
  TPluginHostFrameReader reader(unknown);
  TPluginHostItem item;
  EXPECT_FALSE(reader.Item(item));
}

TEST(uPluginHostProtocolTest, ImpossibleLengthsBreakTheStream) {
  const std::vector<std::string> streams = {
      std::string("\0\0\0\0", 4),              // empty frame: not even a kind
      std::string("\x01\x00\x00\x05\x02", 5),  // 80 MiB
  };
  for (const std::string& stream : streams) {
    TPluginHostFrameBuffer buffer;
    buffer.Append(stream.data(), stream.size());
    TPluginHostFrameKind kind{};
    std::string_view body;
    EXPECT_FALSE(buffer.Next(kind, body));
    EXPECT_TRUE(buffer.Broken());
  }
}

TEST(uPluginHostProtocolTest, FramesFollowingEachOtherAreCutApart) {
  TPluginHostFrameWriter writer;
  std::string stream;
  writer.Begin(TPluginHostFrameKind::Acknowledge);
  writer.U32(7);
  stream += writer.Finish();
  writer.Begin(TPluginHostFrameKind::Finalized);
  stream += writer.Finish();
  TPluginHostFrameBuffer buffer;
  buffer.Append(stream.data(), stream.size());
  TPluginHostFrameKind kind{};
  std::string_view body;
  ASSERT_TRUE(buffer.Next(kind, body));
  EXPECT_EQ(kind, TPluginHostFrameKind::Acknowledge);
  EXPECT_EQ(TPluginHostFrameReader(body).U32(), 7u);
  ASSERT_TRUE(buffer.Next(kind, body));
  EXPECT_EQ(kind, TPluginHostFrameKind::Finalized);
  EXPECT_TRUE(body.empty());
  EXPECT_FALSE(buffer.Next(kind, body));
  EXPECT_FALSE(buffer.Broken());
}

}  // namespace

TEST(uPluginHostProtocolTest, CountsAndPreEncodedItemsReadBackAsWritten) {
  struct Case {
    TPluginHostCounts Counts;
  };
  const Case cases[] = {
      {{true, 1, 2, 3, 4}},
      {{false, 0, 0, 0, 0}},
      {{true, 0xFFFFFFFFFFFFFFFFull, 1ull << 32, 0xFFFFFFFFull, 0}},
  };
  for (const Case& c : cases) {
    TPluginHostFrameWriter writer;
    writer.Begin(TPluginHostFrameKind::Counts);
    writer.Counts(c.Counts);
    const std::string frame = writer.Finish();
    TPluginHostFrameBuffer buffer;
    buffer.Append(frame.data(), frame.size());
    TPluginHostFrameKind kind{};
    std::string_view body;
    ASSERT_TRUE(buffer.Next(kind, body));
    EXPECT_EQ(kind, TPluginHostFrameKind::Counts);
    TPluginHostFrameReader reader(body);
    const TPluginHostCounts back = reader.Counts();
    EXPECT_FALSE(reader.Failed());
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_EQ(back.Given, c.Counts.Given);
    EXPECT_EQ(back.Sent, c.Counts.Sent);
    EXPECT_EQ(back.Acknowledged, c.Counts.Acknowledged);
    EXPECT_EQ(back.Spooled, c.Counts.Spooled);
    EXPECT_EQ(back.Dropped, c.Counts.Dropped);
    // A frame cut short is refused, not read as zeros.
    TPluginHostFrameReader cut(body.substr(0, body.size() - 1));
    cut.Counts();
    EXPECT_TRUE(cut.Failed());
  }

  // Items encoded ahead of the frame (as the producers keep them in flight) are those the writer
  // writes.
  std::string items;
  AppendPluginHostMessageItem(items, 1.5, 2.5, "message");
  AppendPluginHostRecordItem(items, 3.5, 4.5, "::1", "65535", "A", "M", "P", "record");
  TPluginHostFrameWriter direct;
  direct.Begin(TPluginHostFrameKind::Batch);
  direct.U32(2);
  direct.MessageItem(1.5, 2.5, "message");
  direct.RecordItem(3.5, 4.5, "::1", "65535", "A", "M", "P", "record");
  const std::string expected = direct.Finish();
  TPluginHostFrameWriter raw;
  raw.Begin(TPluginHostFrameKind::Batch);
  raw.U32(2);
  raw.Raw(items);
  EXPECT_EQ(raw.Finish(), expected);
}

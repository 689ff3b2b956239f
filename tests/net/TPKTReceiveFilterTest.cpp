#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "net/uReceiveFilter.h"

namespace {

std::string Frame(const std::string& payload) {
  const std::size_t length = payload.size() + 4;
  std::string frame = {'\x03', '\x00', static_cast<char>(length >> 8),
                       static_cast<char>(length & 0xFF)};
  return frame + payload;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (const int value : values) {
    bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

// Feeds one read the way a connection does: Decode with the bytes, then with no data while
// More is set; returns every packet, empty ones included.
std::vector<std::string> DecodeRead(tEmptyReceiveFilter& filter, const std::string& read) {
  std::vector<std::string> packets;
  bool more = false;
  packets.push_back(filter.Decode(read.data(), static_cast<std::int32_t>(read.size()), more));
  while (more) {
    packets.push_back(filter.Decode(nullptr, 0, more));
  }
  return packets;
}

// The packets a connection would deliver (empty ones dropped) for the reads in order.
std::vector<std::string> Deliver(tEmptyReceiveFilter& filter,
                                 const std::vector<std::string>& reads) {
  std::vector<std::string> delivered;
  for (const std::string& read : reads) {
    for (std::string& packet : DecodeRead(filter, read)) {
      if (!packet.empty()) {
        delivered.push_back(std::move(packet));
      }
    }
  }
  return delivered;
}

TEST(TPKTReceiveFilterTest, FrameSplitAtEveryByteIsDeliveredOnceWhenComplete) {
  const std::string frame = Frame("hello, log server");
  for (std::size_t split = 1; split < frame.size(); ++split) {
    tTPKTReceiveFilter filter;
    bool more = true;
    EXPECT_EQ(filter.Decode(frame.data(), static_cast<std::int32_t>(split), more), "")
        << "split " << split;
    EXPECT_FALSE(more);
    const std::string rest = frame.substr(split);
    EXPECT_EQ(filter.Decode(rest.data(), static_cast<std::int32_t>(rest.size()), more),
              "hello, log server")
        << "split " << split;
    EXPECT_FALSE(more);
    EXPECT_EQ(filter.BufferedSize(), 0u);
  }
}

TEST(TPKTReceiveFilterTest, StreamFedOneByteAtATime) {
  const std::string stream = Frame("a") + Frame("") + Frame("bc") + Frame(std::string(300, 'x'));
  std::vector<std::string> reads;
  for (const char byte : stream) {
    reads.emplace_back(1, byte);
  }
  tTPKTReceiveFilter filter;
  EXPECT_EQ(Deliver(filter, reads), (std::vector<std::string>{"a", "bc", std::string(300, 'x')}));
}

TEST(TPKTReceiveFilterTest, SeveralFramesInOneRead) {
  tTPKTReceiveFilter filter;
  const std::string read = Frame("first") + Frame("second") + Frame("third");
  EXPECT_EQ(DecodeRead(filter, read), (std::vector<std::string>{"first", "second", "third"}));
}

TEST(TPKTReceiveFilterTest, CompleteFrameAndThreeBytesOfTheNext) {
  tTPKTReceiveFilter filter;
  const std::string next = Frame("next");
  const std::string read = Frame("one") + next.substr(0, 3);
  bool more = true;
  EXPECT_EQ(filter.Decode(read.data(), static_cast<std::int32_t>(read.size()), more), "one");
  EXPECT_FALSE(more);
  EXPECT_EQ(filter.BufferedSize(), 3u);
  EXPECT_EQ(filter.BytesNeeded(), 1);
  const std::string rest = next.substr(3);
  EXPECT_EQ(filter.Decode(rest.data(), static_cast<std::int32_t>(rest.size()), more), "next");
}

TEST(TPKTReceiveFilterTest, StrayBytesAreSkippedTwoAtATime) {
  struct Case {
    const char* name;
    std::string read;
    std::vector<std::string> delivered;
  };
  const std::vector<Case> cases = {
      // One stray byte puts the first header at an odd distance: it is stepped over, and the
      // search lands on the second header.
      {"one stray byte", Bytes({0xAA, 3, 0, 0, 5, 'A', 3, 0, 0, 5, 'B'}), {"B"}},
      {"two stray bytes", Bytes({0xAA, 0xBB}) + Frame("A") + Frame("B"), {"A", "B"}},
      {"03 without 00", Bytes({3, 1}) + Frame("A"), {"A"}},
      {"00 03 pair", Bytes({0, 3}) + Frame("A"), {"A"}},
      {"garbage only", std::string(9, '\x55'), {}},
  };
  for (const Case& testCase : cases) {
    tTPKTReceiveFilter filter;
    EXPECT_EQ(Deliver(filter, {testCase.read}), testCase.delivered) << testCase.name;
  }
}

TEST(TPKTReceiveFilterTest, HeaderOnlyAndShortLengthsDeliverNothingAndMoveOn) {
  struct Case {
    const char* name;
    std::string read;
    std::vector<std::string> delivered;
  };
  const std::vector<Case> cases = {
      {"probe frame", Bytes({3, 0, 0, 4}), {}},
      {"probe between frames", Frame("A") + Bytes({3, 0, 0, 4}) + Frame("B"), {"A", "B"}},
      // Length 0 would drop nothing and return the same header for ever: its 4 bytes go.
      {"length 0 alone", Bytes({3, 0, 0, 0}), {}},
      {"length 0", Bytes({3, 0, 0, 0}) + Frame("A"), {"A"}},
      {"length 0 twice", Bytes({3, 0, 0, 0, 3, 0, 0, 0}) + Frame("A"), {"A"}},
      // A length of 1 to 3 drops that many bytes; the search then goes on two bytes at a time.
      {"length 2", Bytes({3, 0, 0, 2, 0xEE, 0xEE}) + Frame("A"), {"A"}},
  };
  for (const Case& testCase : cases) {
    tTPKTReceiveFilter filter;
    EXPECT_EQ(Deliver(filter, {testCase.read}), testCase.delivered) << testCase.name;
    EXPECT_EQ(filter.BufferedSize(), 0u) << testCase.name;
  }
}

// DecodeEach cuts frames straight out of each read; whatever the stream and however it is split
// into reads, it delivers what Decode and its follow-up calls deliver, and keeps no more
// buffered.
TEST(TPKTReceiveFilterTest, DecodeEachDeliversWhatDecodeDoesForEverySplit) {
  const std::vector<std::pair<const char*, std::string>> streams = {
      {"frames", Frame("one") + Frame("second record") + Frame(std::string(300, 'p'))},
      {"stray and probes", Bytes({0xAA}) + Frame("A") + Bytes({3, 0, 0, 4}) + Frame("B") +
                               Bytes({0xAA, 0xBB}) + Frame("C")},
      {"short lengths", Bytes({3, 0, 0, 0}) + Frame("A") + Bytes({3, 0, 0, 2, 0xEE, 0xEE}) +
                            Frame("B") + Bytes({3, 0, 0, 1}) + Frame("C")},
      {"a large frame", Frame("x") + Frame(std::string(65531, 'L')) + Frame("y")},
      {"tail of garbage", Frame("A") + std::string(7, '\x55')},
  };
  for (const auto& [name, stream] : streams) {
    for (const std::size_t step :
         {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5}, std::size_t{7},
          std::size_t{64}, std::size_t{4096}, stream.size()}) {
      SCOPED_TRACE(std::string(name) + ", reads of " + std::to_string(step));
      std::vector<std::string> reads;
      for (std::size_t at = 0; at < stream.size(); at += step) {
        reads.push_back(stream.substr(at, step));
      }
      tTPKTReceiveFilter expectedFilter;
      const std::vector<std::string> expected = Deliver(expectedFilter, reads);
      tTPKTReceiveFilter filter;
      std::vector<std::string> delivered;
      for (const std::string& read : reads) {
        filter.DecodeEach(read.data(), static_cast<std::int32_t>(read.size()),
                          [&](std::string&& packet) { delivered.push_back(std::move(packet)); });
      }
      EXPECT_EQ(delivered, expected);
      EXPECT_EQ(filter.BufferedSize(), expectedFilter.BufferedSize());
      EXPECT_FALSE(delivered.empty());
    }
  }
}

// The pass-through filter hands on every read whole.
TEST(EmptyReceiveFilterTest, DecodeEachHandsOnEveryReadAsItCame) {
  tEmptyReceiveFilter filter;
  std::vector<std::string> delivered;
  for (const std::string read : {"first read", "", "second"}) {
    filter.DecodeEach(read.data(), static_cast<std::int32_t>(read.size()),
                      [&](std::string&& packet) { delivered.push_back(std::move(packet)); });
  }
  EXPECT_EQ(delivered, (std::vector<std::string>{"first read", "second"}));
}

TEST(TPKTReceiveFilterTest, BytesNeededCountsWhatTheCurrentFrameLacks) {
  tTPKTReceiveFilter filter;
  EXPECT_EQ(filter.BytesNeeded(), 4);
  bool more = false;
  filter.Decode("\x03", 1, more);
  EXPECT_EQ(filter.BytesNeeded(), 3);
  const std::string frame = Frame(std::string(100, 'z'));
  filter.Decode(frame.data() + 1, 49, more);
  EXPECT_EQ(filter.BytesNeeded(), 54);
}

TEST(TPKTReceiveFilterTest, EncodeLimitsAndHeader) {
  tTPKTReceiveFilter filter;
  const std::string largest(65531, 'm');
  const std::string frame = filter.Encode(largest.data(), 65531);
  ASSERT_EQ(frame.size(), 65535u);
  EXPECT_EQ(frame.substr(0, 4), Bytes({3, 0, 0xFF, 0xFF}));
  EXPECT_EQ(frame.substr(4), largest);

  const std::string tooLarge(65532, 'm');
  EXPECT_EQ(filter.Encode(tooLarge.data(), 65532), "");
  EXPECT_EQ(filter.Encode(largest.data(), -1), "");
  EXPECT_EQ(filter.Encode(nullptr, 0), Bytes({3, 0, 0, 4}));
  EXPECT_EQ(filter.Encode("ab", 2), Bytes({3, 0, 0, 6, 'a', 'b'}));
}

TEST(TPKTReceiveFilterTest, EncodedFrameDecodesToThePayload) {
  tTPKTReceiveFilter sender;
  tTPKTReceiveFilter receiver;
  const std::string largest(65531, '\x03');
  const std::string frame = sender.Encode(largest.data(), 65531);
  EXPECT_EQ(Deliver(receiver, {frame.substr(0, 65533), frame.substr(65533)}),
            std::vector<std::string>{largest});
}

TEST(EmptyReceiveFilterTest, EveryReadIsOnePacketAndPayloadsGoOutUnchanged) {
  tEmptyReceiveFilter filter;
  bool more = true;
  EXPECT_EQ(filter.Decode("\x03\x00\x00\x04", 4, more), Bytes({3, 0, 0, 4}));
  EXPECT_FALSE(more);
  EXPECT_EQ(filter.Decode("abc", 0, more), "");
  EXPECT_EQ(filter.Decode(nullptr, 0, more), "");
  EXPECT_EQ(filter.BufferedSize(), 0u);
  EXPECT_EQ(filter.Encode("xyz", 3), "xyz");
  EXPECT_EQ(filter.Encode("xyz", 0), "");
  EXPECT_EQ(filter.BytesNeeded(), 65533);
}

TEST(ReceiveFilterClassTest, NullClassGivesThePassThroughFilter) {
  const std::unique_ptr<tEmptyReceiveFilter> plain = CreateReceiveFilter(nullptr);
  const std::unique_ptr<tEmptyReceiveFilter> tpkt =
      CreateReceiveFilter(&tTPKTReceiveFilter::CreateFilter);
  EXPECT_EQ(plain->Encode(nullptr, 0), "");
  EXPECT_EQ(tpkt->Encode(nullptr, 0), Bytes({3, 0, 0, 4}));
}

}  // namespace

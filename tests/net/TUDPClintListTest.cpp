#include "net/TUDPClintList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Fills every slot with 10.0.<slot / 256>.<slot % 256>, port 1000.
void FillTable(TUDPClintList& table) {
  for (std::size_t slot = 0; slot < TUDPClintList::SlotCount; ++slot) {
    const std::string address =
        "10.0." + std::to_string(slot / 256) + '.' + std::to_string(slot % 256);
    ASSERT_EQ(table.Add(tUDPClient{address, 1000}), slot);
  }
}

TEST(TUDPClintListTest, FindOnEmptyTableLeavesIndexAlone) {
  TUDPClintList table;
  std::uint16_t index = 77;
  EXPECT_FALSE(table.Find("10.0.0.5", 5000, index));
  EXPECT_EQ(index, 77);
}

TEST(TUDPClintListTest, AddTakesLowestFreeSlot) {
  TUDPClintList table;
  EXPECT_EQ(table.Add({"10.0.0.1", 1}), 0);
  EXPECT_EQ(table.Add({"10.0.0.2", 2}), 1);
  EXPECT_EQ(table.Add({"10.0.0.3", 3}), 2);
  ASSERT_TRUE(table.Remove(1));
  EXPECT_EQ(table.Add({"10.0.0.4", 4}), 1);
  tUDPClient peer;
  ASSERT_TRUE(table.Get(1, peer));
  EXPECT_EQ(peer.Address, "10.0.0.4");
  EXPECT_EQ(peer.Port, 4);
}

TEST(TUDPClintListTest, PeersAreTextAndPortPairs) {
  TUDPClintList table;
  ASSERT_EQ(table.Add({"10.0.0.5", 5000}), 0);
  ASSERT_EQ(table.Add({"10.0.0.5", 5001}), 1);
  struct Case {
    const char* address;
    std::uint16_t port;
    bool found;
    std::uint16_t index;
  };
  const Case cases[] = {
      {"10.0.0.5", 5000, true, 0},   {"10.0.0.5", 5001, true, 1},
      {"10.0.0.05", 5000, false, 0},  // same host, other text: another peer
      {"10.0.0.5 ", 5000, false, 0}, {"10.0.0.5", 5002, false, 0},
  };
  for (const Case& c : cases) {
    std::uint16_t index = 999;
    EXPECT_EQ(table.Find(c.address, c.port, index), c.found) << c.address << ':' << c.port;
    EXPECT_EQ(index, c.found ? c.index : 999) << c.address << ':' << c.port;
  }
}

TEST(TUDPClintListTest, FullTableAddsNothingAndAnswers255) {
  TUDPClintList table;
  FillTable(table);
  EXPECT_EQ(table.Add({"192.168.1.1", 7}), TUDPClintList::TableFull);
  EXPECT_EQ(table.Count(), TUDPClintList::SlotCount);
  std::uint16_t index = 0;
  EXPECT_FALSE(table.Find("192.168.1.1", 7, index));
  // The peer really stored in slot 255 is untouched and found there.
  tUDPClient peer;
  ASSERT_TRUE(table.Get(255, peer));
  EXPECT_EQ(peer.Address, "10.0.0.255");
  ASSERT_TRUE(table.Find("10.0.0.255", 1000, index));
  EXPECT_EQ(index, 255);
  ASSERT_TRUE(table.Remove(1023));
  EXPECT_EQ(table.Add({"192.168.1.1", 7}), 1023);
}

TEST(TUDPClintListTest, OutOfRangeAndEmptySlots) {
  TUDPClintList table;
  table.Add({"10.0.0.1", 1});
  tUDPClient peer;
  EXPECT_FALSE(table.Get(-1, peer));
  EXPECT_FALSE(table.Get(1024, peer));
  EXPECT_FALSE(table.Get(1, peer));
  EXPECT_FALSE(table.Remove(1024));
  EXPECT_FALSE(table.Remove(1));
  EXPECT_TRUE(table.Remove(0));
  EXPECT_FALSE(table.Remove(0));
  std::uint16_t index = 0;
  EXPECT_FALSE(table.Find("10.0.0.1", 1, index));
}

TEST(TUDPClintListTest, PeerAddedTwiceIsFoundInItsLowestSlot) {
  TUDPClintList table;
  ASSERT_EQ(table.Add({"10.0.0.9", 9}), 0);
  ASSERT_EQ(table.Add({"10.0.0.8", 8}), 1);
  ASSERT_EQ(table.Add({"10.0.0.9", 9}), 2);
  std::uint16_t index = 0;
  ASSERT_TRUE(table.Find("10.0.0.9", 9, index));
  EXPECT_EQ(index, 0);
  ASSERT_TRUE(table.Remove(0));
  ASSERT_TRUE(table.Find("10.0.0.9", 9, index));
  EXPECT_EQ(index, 2);
  // A new copy in the freed lower slot is found first again.
  ASSERT_EQ(table.Add({"10.0.0.9", 9}), 0);
  ASSERT_TRUE(table.Find("10.0.0.9", 9, index));
  EXPECT_EQ(index, 0);
  ASSERT_TRUE(table.Remove(2));
  ASSERT_TRUE(table.Find("10.0.0.9", 9, index));
  EXPECT_EQ(index, 0);
}

TEST(TUDPClintListTest, ClearEmptiesEverySlot) {
  TUDPClintList table;
  FillTable(table);
  table.Clear();
  EXPECT_EQ(table.Count(), 0u);
  tUDPClient peer;
  EXPECT_FALSE(table.Get(0, peer));
  std::uint16_t index = 0;
  EXPECT_FALSE(table.Find("10.0.0.0", 1000, index));
  EXPECT_EQ(table.Add({"10.0.3.255", 1000}), 0);
}

}  // namespace

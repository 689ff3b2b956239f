#include "net/TUDPClintList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TUDPClintListTest, LowestFreeSlotAndPeersComparedAsText) {
  TUDPClintList table;
  EXPECT_EQ(table.Add({"10.0.0.5", 5000}), 0);
  EXPECT_EQ(table.Add({"10.0.0.5", 5001}), 1);  // another port: another peer
  EXPECT_EQ(table.Add({"10.0.0.6", 6}), 2);
  ASSERT_TRUE(table.Remove(1));
  EXPECT_FALSE(table.Remove(1));
  EXPECT_FALSE(table.Remove(1024));
  EXPECT_EQ(table.Add({"10.0.0.7", 7}), 1);

  tUDPClient peer;
  EXPECT_FALSE(table.Get(-1, peer));
  EXPECT_FALSE(table.Get(1024, peer));
  EXPECT_FALSE(table.Get(3, peer));
  ASSERT_TRUE(table.Get(1, peer));
  EXPECT_EQ(peer.Address + ':' + std::to_string(peer.Port), "10.0.0.7:7");

  std::uint16_t index = 99;
  EXPECT_FALSE(table.Find("10.0.0.05", 5000, index));  // same host, other text
  EXPECT_FALSE(table.Find("10.0.0.5", 5001, index));
  EXPECT_EQ(index, 99);
  ASSERT_TRUE(table.Find("10.0.0.6", 6, index));
  EXPECT_EQ(index, 2);
}

TEST(TUDPClintListTest, FullTableAnswers255AndChangesNothing) {
  TUDPClintList table;
  for (std::size_t slot = 0; slot < TUDPClintList::SlotCount; ++slot) {
    ASSERT_EQ(
        table.Add({"10.0." + std::to_string(slot / 256) + '.' + std::to_string(slot % 256), 1000}),
        slot);
  }
  EXPECT_EQ(table.Add({"192.168.1.1", 7}), TUDPClintList::TableFull);
  std::uint16_t index = 0;
  EXPECT_FALSE(table.Find("192.168.1.1", 7, index));
  ASSERT_TRUE(table.Find("10.0.0.255", 1000, index));  // the real peer of slot 255
  EXPECT_EQ(index, 255);
  ASSERT_TRUE(table.Remove(1023));
  EXPECT_EQ(table.Add({"192.168.1.1", 7}), 1023);
  table.Clear();
  EXPECT_EQ(table.Count(), 0u);
  EXPECT_FALSE(table.Find("10.0.0.0", 1000, index));
}

// Add does not look for an existing entry; Find must still name the lowest slot, as a scan would.
TEST(TUDPClintListTest, PeerAddedTwiceIsFoundInItsLowestSlot) {
  TUDPClintList table;
  ASSERT_EQ(table.Add({"10.0.0.9", 9}), 0);
  ASSERT_EQ(table.Add({"10.0.0.8", 8}), 1);
  ASSERT_EQ(table.Add({"10.0.0.9", 9}), 2);
  const auto lowest = [&table] {
    std::uint16_t index = 999;
    table.Find("10.0.0.9", 9, index);
    return index;
  };
  EXPECT_EQ(lowest(), 0);
  ASSERT_TRUE(table.Remove(0));
  EXPECT_EQ(lowest(), 2);
  ASSERT_EQ(table.Add({"10.0.0.9", 9}), 0);
  EXPECT_EQ(lowest(), 0);
  ASSERT_TRUE(table.Remove(2));
  EXPECT_EQ(lowest(), 0);
  ASSERT_TRUE(table.Remove(0));
  EXPECT_EQ(lowest(), 999);
}

}  // namespace

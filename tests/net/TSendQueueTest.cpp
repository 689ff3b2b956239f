#include "net/TSendQueue.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TSendQueueTest, ItemsOwnTheirBytesAndAtMost15AddressCharacters) {
  char buffer[] = "hello";
  const tSendQueueItem item = tSendQueueItem::ToAddress("127.000.000.0001", 514, buffer, 5);
  buffer[0] = 'X';
  EXPECT_EQ(std::string(item.Data.begin(), item.Data.end()), "hello");
  EXPECT_EQ(item.AddressText(), "127.000.000.000");
  EXPECT_EQ(tSendQueueItem::ToAddress("255.255.255.255", 1, "x", 1).AddressText(),
            "255.255.255.255");
  EXPECT_TRUE(tSendQueueItem::ToClient(1, "abc", -5).Data.empty());
  EXPECT_EQ(tSendQueueItem::ToClient(1, nullptr, 3).Size, 0);
}

TEST(TSendQueueTest, OldestFirstAndNotEmptyExactlyWhileItemsWait) {
  TSendQueue queue;
  EXPECT_FALSE(queue.Pop().has_value());
  EXPECT_FALSE(queue.NotEmpty().IsSet());
  for (std::uint16_t i = 0; i < 3; ++i) {
    queue.Push(tSendQueueItem::ToClient(i, "x", 1));
    EXPECT_TRUE(queue.NotEmpty().IsSet());
  }
  for (std::uint16_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(queue.NotEmpty().IsSet());
    EXPECT_EQ(queue.Pop()->ClientIndex, i);
  }
  EXPECT_FALSE(queue.NotEmpty().IsSet());
  // Clear releases items with and without bytes.
  queue.Push(tSendQueueItem::ToClient(0, "data", 4));
  queue.Push(tSendQueueItem::Remove(1));
  queue.Clear();
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_FALSE(queue.NotEmpty().IsSet());
}

TEST(TSendQueueTest, RequestsBeyond10000AreDropped) {
  TSendQueue queue;
  for (int i = 0; i < 10000; ++i) {
    ASSERT_TRUE(queue.Push(tSendQueueItem::Remove(static_cast<std::uint16_t>(i % 1024))));
  }
  EXPECT_FALSE(queue.Push(tSendQueueItem::ToClient(1, "new", 3)));
  EXPECT_EQ(queue.Count(), 10000u);
  EXPECT_TRUE(queue.NotEmpty().IsSet());
  ASSERT_TRUE(queue.Pop().has_value());
  EXPECT_TRUE(queue.Push(tSendQueueItem::Remove(5)));
  EXPECT_FALSE(queue.Push(tSendQueueItem::Remove(6)));
}

}  // namespace

#include "net/TReceiveManager.h"

#include <gtest/gtest.h>

namespace {

tTCPEventItem Item(const std::string& data) {
  tTCPEventItem item;
  item.Kind = evReceive;
  item.Data = data;
  return item;
}

TEST(TReceiveManagerQueueTest, HoldsAtMostMaxCountItemsAndRefusesWithoutTakingTheItem) {
  TReceiveManagerQueue queue;
  for (int i = 0; i < TReceiveManagerQueue::MaxCount; ++i) {
    tTCPEventItem item = Item(std::to_string(i));
    ASSERT_TRUE(queue.Push(item));
  }
  EXPECT_EQ(queue.ItemSemaphore.Count(), TReceiveManagerQueue::MaxCount);
  EXPECT_FALSE(queue.WaitForRoom(0));

  tTCPEventItem refused = Item("refused");
  EXPECT_FALSE(queue.Push(refused));
  EXPECT_EQ(refused.Data, "refused");
  EXPECT_EQ(queue.Count(), TReceiveManagerQueue::MaxCount);

  ASSERT_TRUE(queue.ItemSemaphore.WaitFor(0));
  const std::optional<tTCPEventItem> oldest = queue.Pop();
  ASSERT_TRUE(oldest.has_value());
  EXPECT_EQ(oldest->Data, "0");
  EXPECT_TRUE(queue.Push(refused));
  EXPECT_FALSE(queue.Push(refused));

  // Held producers are woken only once the queue has drained to RoomMark.
  EXPECT_FALSE(queue.WaitForRoom(0));
  while (queue.Count() > TReceiveManagerQueue::RoomMark) {
    queue.Pop();
  }
  EXPECT_TRUE(queue.WaitForRoom(0));
}

TEST(TReceiveManagerQueueTest, PopsInPushOrderAndReleaseAllEmptiesQueueAndCount) {
  TReceiveManagerQueue queue;
  for (const char* data : {"a", "b", "c"}) {
    tTCPEventItem item = Item(data);
    ASSERT_TRUE(queue.Push(item));
  }
  EXPECT_EQ(queue.Pop()->Data, "a");
  EXPECT_EQ(queue.Pop()->Data, "b");
  queue.ReleaseAll();
  EXPECT_EQ(queue.Count(), 0);
  EXPECT_EQ(queue.ItemSemaphore.Count(), 0);
  EXPECT_FALSE(queue.Pop().has_value());
}

}  // namespace

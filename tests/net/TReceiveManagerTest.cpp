#include "net/TReceiveManager.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <thread>

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
  EXPECT_EQ(queue.Count(), TReceiveManagerQueue::MaxCount);
  EXPECT_FALSE(queue.WaitForRoom(0));

  tTCPEventItem refused = Item("refused");
  EXPECT_FALSE(queue.Push(refused));
  EXPECT_EQ(refused.Data, "refused");
  EXPECT_EQ(queue.Count(), TReceiveManagerQueue::MaxCount);

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

// Large items fill the queue by their bytes long before MaxCount; an empty queue still takes an
// item larger than the whole bound, so no packet can be stuck in front of it.
TEST(TReceiveManagerQueueTest, IsFullAtMaxBytesAndAnEmptyQueueTakesAnyItem) {
  const struct { std::size_t DataSize; } cases[] = {{1000}, {10'000}, {65'531}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.DataSize);
    TReceiveManagerQueue queue;
    const std::size_t cost = TReceiveManagerQueue::Cost(Item(std::string(test.DataSize, 'x')));
    int pushed = 0;
    while (true) {
      tTCPEventItem item = Item(std::string(test.DataSize, 'x'));
      if (!queue.Push(item)) {
        EXPECT_EQ(item.Data.size(), test.DataSize);
        break;
      }
      ++pushed;
      ASSERT_LT(pushed, TReceiveManagerQueue::MaxCount);
    }
    EXPECT_EQ(static_cast<std::size_t>(pushed), (TReceiveManagerQueue::MaxBytes + cost - 1) / cost);
    EXPECT_EQ(queue.QueuedBytes(), static_cast<std::size_t>(pushed) * cost);
    EXPECT_FALSE(queue.WaitForRoom(0));

    // Room again once an item is taken.
    queue.Pop();
    EXPECT_TRUE(queue.WaitForRoom(0));
    std::deque<tTCPEventItem> items;
    ASSERT_TRUE(queue.TakeAll(items, 0));
    EXPECT_EQ(queue.QueuedBytes(), 0u);

    tTCPEventItem huge = Item(std::string(2 * TReceiveManagerQueue::MaxBytes, 'h'));
    EXPECT_TRUE(queue.Push(huge));
    tTCPEventItem next = Item("next");
    EXPECT_FALSE(queue.Push(next));
    EXPECT_EQ(queue.Pop()->Data.size(), 2 * TReceiveManagerQueue::MaxBytes);
    EXPECT_TRUE(queue.Push(next));
  }
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
  EXPECT_FALSE(queue.Pop().has_value());
}

// The delivery thread's way: everything queued at once, oldest first, after what it holds.
TEST(TReceiveManagerQueueTest, TakeAllMovesEveryItemInOrderAndWaitsOnlyWhenEmpty) {
  TReceiveManagerQueue queue;
  std::deque<tTCPEventItem> items;
  EXPECT_FALSE(queue.TakeAll(items, 0));
  EXPECT_TRUE(items.empty());
  for (const char* data : {"a", "b", "c"}) {
    tTCPEventItem item = Item(data);
    ASSERT_TRUE(queue.Push(item));
  }
  items.push_back(Item("held"));
  ASSERT_TRUE(queue.TakeAll(items, 0));
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].Data, "held");
  EXPECT_EQ(items[1].Data, "a");
  EXPECT_EQ(items[3].Data, "c");
  EXPECT_EQ(queue.Count(), 0);

  // A push into the empty queue wakes a waiting consumer.
  std::deque<tTCPEventItem> later;
  std::thread consumer([&] { EXPECT_TRUE(queue.TakeAll(later, 10000)); });
  tTCPEventItem item = Item("d");
  ASSERT_TRUE(queue.Push(item));
  consumer.join();
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].Data, "d");
}

// Producers held by a full queue get room as soon as the consumer takes what is queued.
TEST(TReceiveManagerQueueTest, TakeAllMakesRoomForHeldProducers) {
  TReceiveManagerQueue queue;
  for (int i = 0; i < TReceiveManagerQueue::MaxCount; ++i) {
    tTCPEventItem item = Item(std::to_string(i));
    ASSERT_TRUE(queue.Push(item));
  }
  std::thread producer([&] { EXPECT_TRUE(queue.WaitForRoom(10000)); });
  std::deque<tTCPEventItem> items;
  ASSERT_TRUE(queue.TakeAll(items, 0));
  producer.join();
  EXPECT_EQ(items.size(), static_cast<std::size_t>(TReceiveManagerQueue::MaxCount));
  EXPECT_EQ(items.back().Data, std::to_string(TReceiveManagerQueue::MaxCount - 1));
}

}  // namespace

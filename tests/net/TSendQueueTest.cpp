#include "net/TSendQueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(TSendQueueTest, ItemsCopyTheirBytes) {
  char buffer[] = "hello";
  const tSendQueueItem item = tSendQueueItem::ToClient(3, buffer, 5);
  buffer[0] = 'X';
  EXPECT_EQ(item.Kind, tSendQueueItem::KindToClient);
  EXPECT_EQ(item.ClientIndex, 3);
  EXPECT_EQ(item.Size, 5);
  EXPECT_EQ(std::string(item.Data.begin(), item.Data.end()), "hello");
}

TEST(TSendQueueTest, ItemsWithoutBytes) {
  const char data[] = "abc";
  struct Case {
    tSendQueueItem item;
    std::int32_t size;
  };
  const Case cases[] = {
      {tSendQueueItem::ToClient(1, data, 0), 0},
      {tSendQueueItem::ToClient(1, data, -5), -5},
      {tSendQueueItem::ToClient(1, nullptr, 3), 0},
      {tSendQueueItem::Remove(4), 0},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(c.item.Data.empty());
    EXPECT_EQ(c.item.Size, c.size);
  }
}

TEST(TSendQueueTest, AddressIsCutToFifteenCharacters) {
  const char data[] = "x";
  struct Case {
    std::string address;
    std::string stored;
  };
  const Case cases[] = {
      {"10.0.0.5", "10.0.0.5"},
      {"255.255.255.255", "255.255.255.255"},
      {"127.000.000.0001", "127.000.000.000"},
      {"", ""},
  };
  for (const Case& c : cases) {
    const tSendQueueItem item = tSendQueueItem::ToAddress(c.address, 514, data, 1);
    EXPECT_EQ(item.Kind, tSendQueueItem::KindToAddress);
    EXPECT_EQ(item.AddressText(), c.stored);
    EXPECT_EQ(item.Address.back(), '\0');
    EXPECT_EQ(item.Port, 514);
  }
}

TEST(TSendQueueTest, FirstInFirstOutAndNotEmptyMirrorsContents) {
  TSendQueue queue;
  EXPECT_FALSE(queue.NotEmpty().IsSet());
  EXPECT_FALSE(queue.Pop().has_value());
  EXPECT_FALSE(queue.NotEmpty().IsSet());
  for (std::uint16_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(queue.Push(tSendQueueItem::ToClient(i, "x", 1)));
    EXPECT_TRUE(queue.NotEmpty().IsSet());
  }
  for (std::uint16_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(queue.NotEmpty().IsSet());
    const auto item = queue.Pop();
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->ClientIndex, i);
  }
  EXPECT_FALSE(queue.NotEmpty().IsSet());
  EXPECT_FALSE(queue.Pop().has_value());
}

TEST(TSendQueueTest, FullQueueDropsNewItems) {
  TSendQueue queue;
  for (std::int32_t i = 0; i < queue.MaxCount; ++i) {
    ASSERT_TRUE(queue.Push(tSendQueueItem::ToClient(static_cast<std::uint16_t>(i % 1024), "x", 1)));
  }
  EXPECT_FALSE(queue.Push(tSendQueueItem::ToClient(1, "new", 3)));
  EXPECT_EQ(queue.Count(), 10000u);
  EXPECT_TRUE(queue.NotEmpty().IsSet());
  // After one item leaves, there is room for exactly one more.
  ASSERT_TRUE(queue.Pop().has_value());
  EXPECT_TRUE(queue.Push(tSendQueueItem::Remove(5)));
  EXPECT_FALSE(queue.Push(tSendQueueItem::Remove(6)));
}

TEST(TSendQueueTest, ClearReleasesEveryKindOfItem) {
  TSendQueue queue;
  queue.Push(tSendQueueItem::ToClient(0, "data", 4));
  queue.Push(tSendQueueItem::ToClient(0, "data", 0));
  queue.Push(tSendQueueItem::Remove(1));
  queue.Push(tSendQueueItem::ToAddress("127.0.0.1", 9, "d", 1));
  queue.Clear();
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_FALSE(queue.NotEmpty().IsSet());
  EXPECT_FALSE(queue.Pop().has_value());
  ASSERT_TRUE(queue.Push(tSendQueueItem::Remove(2)));
  EXPECT_TRUE(queue.NotEmpty().IsSet());
}

TEST(TSendQueueTest, ProducersOnManyThreadsKeepEachOrder) {
  TSendQueue queue;
  constexpr int producers = 4;
  constexpr int perProducer = 2000;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&queue, p] {
      for (int i = 0; i < perProducer; ++i) {
        const std::int32_t tag = i;
        queue.Push(tSendQueueItem::ToClient(static_cast<std::uint16_t>(p), &tag, sizeof tag));
      }
    });
  }
  int next[producers] = {};
  int taken = 0;
  while (taken < producers * perProducer) {
    auto item = queue.Pop();
    if (!item) {
      std::this_thread::yield();
      continue;
    }
    std::int32_t tag = 0;
    std::memcpy(&tag, item->Data.data(), sizeof tag);
    EXPECT_EQ(tag, next[item->ClientIndex]++);
    ++taken;
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_FALSE(queue.NotEmpty().IsSet());
}

}  // namespace

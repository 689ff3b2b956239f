#include "net/TReceiveManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/net/LoopbackClient.h"

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

// A queue filled to MaxCount items.
void Fill(TReceiveManagerQueue& queue) {
  for (int i = 0; i < TReceiveManagerQueue::MaxCount; ++i) {
    tTCPEventItem item = Item("fill");
    ASSERT_TRUE(queue.Push(item));
  }
}

// The items of one producer: "p<producer>/<number>".
std::vector<tTCPEventItem> Batch(int producer, int count) {
  std::vector<tTCPEventItem> items;
  for (int i = 0; i < count; ++i) {
    items.push_back(Item("p" + std::to_string(producer) + "/" + std::to_string(i)));
  }
  return items;
}

// Pushes the whole batch, calling PushWhenRoom with a long time limit as often as it takes.
void PushEverything(TReceiveManagerQueue& queue, std::vector<tTCPEventItem> items) {
  std::span<tTCPEventItem> rest(items);
  for (int call = 0; !rest.empty() && call < 1000; ++call) {
    rest = rest.subspan(queue.PushWhenRoom(rest, 60000));
  }
  EXPECT_TRUE(rest.empty());
}

// Producer threads, joined whatever the test's outcome: the queue is drained and its waiters
// woken until every producer has ended.
struct TProducers {
  explicit TProducers(TReceiveManagerQueue& queue) : Queue(queue) {}
  TReceiveManagerQueue& Queue;
  std::vector<std::thread> Threads;
  std::atomic<std::size_t> Ended{0};

  void Add(std::function<void()> body) {
    Threads.emplace_back([this, body = std::move(body)] {
      body();
      ++Ended;
    });
  }
  ~TProducers() {
    std::deque<tTCPEventItem> ignored;
    for (int round = 0; round < 100000 && Ended.load() < Threads.size(); ++round) {
      Queue.TakeAll(ignored, 1);
      Queue.WakeWaiters();
    }
    for (std::thread& thread : Threads) {
      if (thread.joinable()) {
        thread.join();
      }
    }
  }
};

TEST(TReceiveManagerQueueTest, PushWhenRoomQueuesABatchInOrderUpToTheBound) {
  TReceiveManagerQueue queue;
  std::vector<tTCPEventItem> items = Batch(0, TReceiveManagerQueue::MaxCount + 3);
  const std::size_t first = queue.PushWhenRoom(items, 0);
  EXPECT_EQ(first, static_cast<std::size_t>(TReceiveManagerQueue::MaxCount));
  EXPECT_EQ(queue.Count(), TReceiveManagerQueue::MaxCount);
  // What did not fit is left as it was.
  EXPECT_EQ(items[first].Data, "p0/" + std::to_string(first));

  std::deque<tTCPEventItem> taken;
  ASSERT_TRUE(queue.TakeAll(taken, 0));
  EXPECT_EQ(queue.PushWhenRoom(std::span(items).subspan(first), 0), 3u);
  ASSERT_TRUE(queue.TakeAll(taken, 0));
  ASSERT_EQ(taken.size(), items.size());
  for (std::size_t i = 0; i < taken.size(); ++i) {
    ASSERT_EQ(taken[i].Data, "p0/" + std::to_string(i));
  }
}

// Every producer held by a full queue gets in once room is made, each woken once: a wake-up
// lost on the way would leave one in line until its minute-long time limit.
TEST(TReceiveManagerQueueTest, EveryHeldProducerIsWokenOnceWhenRoomIsMade) {
  constexpr int Producers = 8;
  TReceiveManagerQueue queue;
  Fill(queue);
  TProducers producers{queue};
  for (int p = 0; p < Producers; ++p) {
    producers.Add([&queue, p] { PushEverything(queue, Batch(p, 1)); });
  }
  ASSERT_TRUE(WaitForCondition([&] { return queue.Waiting() == Producers; }));
  EXPECT_EQ(queue.RoomWakeups(), 0u);

  std::deque<tTCPEventItem> taken;
  ASSERT_TRUE(queue.TakeAll(taken, 0));
  ASSERT_TRUE(
      WaitForCondition([&] { return queue.Waiting() == 0 && queue.Count() == Producers; }, 10000));
  EXPECT_EQ(queue.RoomWakeups(), static_cast<std::uint64_t>(Producers));
}

// Room for fewer than all: only the producers that can go on are woken, one after the other;
// the rest stay in line without a wake-up, and later get in too, each producer's items in its
// order.
TEST(TReceiveManagerQueueTest, OnlyTheProducersThereIsRoomForAreWoken) {
  constexpr int Producers = 8;
  constexpr int BatchSize = 400;  // MaxCount takes two batches and part of a third
  TReceiveManagerQueue queue;
  Fill(queue);
  TProducers producers{queue};
  for (int p = 0; p < Producers; ++p) {
    producers.Add([&queue, p] { PushEverything(queue, Batch(p, BatchSize)); });
  }
  ASSERT_TRUE(WaitForCondition([&] { return queue.Waiting() == Producers; }));

  std::deque<tTCPEventItem> taken;
  ASSERT_TRUE(queue.TakeAll(taken, 0));
  // Two get all their items in, the third part of them and waits again.
  ASSERT_TRUE(WaitForCondition([&] {
    return queue.Count() == TReceiveManagerQueue::MaxCount && queue.Waiting() == Producers - 2;
  }));
  EXPECT_EQ(queue.RoomWakeups(), 3u);

  taken.clear();
  std::vector<int> next(Producers, 0);
  for (int round = 0; round < 1000 && taken.size() < std::size_t{Producers} * BatchSize; ++round) {
    queue.TakeAll(taken, 100);
  }
  ASSERT_EQ(taken.size(), std::size_t{Producers} * BatchSize);
  for (const tTCPEventItem& item : taken) {
    const int producer = std::stoi(item.Data.substr(1));
    ASSERT_EQ(item.Data, "p" + std::to_string(producer) + "/" + std::to_string(next[producer]));
    ++next[producer];
  }
}

// A batch that fills an empty queue wakes the consumer before its producer waits for room.
TEST(TReceiveManagerQueueTest, ABatchThatFillsTheQueueWakesTheConsumerFirst) {
  TReceiveManagerQueue queue;
  std::deque<tTCPEventItem> taken;
  std::atomic<bool> consumed{false};
  std::thread consumer([&] {
    EXPECT_TRUE(queue.TakeAll(taken, 60000));
    consumed = true;
  });
  TProducers producers{queue};
  producers.Add([&queue] { PushEverything(queue, Batch(0, TReceiveManagerQueue::MaxCount + 1)); });
  const bool woken = WaitForCondition([&] { return consumed.load(); }, 10000);
  if (!woken) {
    tTCPEventItem wake = Item("wake");
    queue.ReleaseAll();
    queue.Push(wake);
  }
  consumer.join();
  EXPECT_TRUE(woken);
  EXPECT_EQ(taken.size(), static_cast<std::size_t>(TReceiveManagerQueue::MaxCount));
}

// WakeWaiters ends a wait for room that no room would end, so the producer can look at a stop
// request; the queue stays as it was.
TEST(TReceiveManagerQueueTest, WakeWaitersEndsEveryWaitForRoom) {
  TReceiveManagerQueue queue;
  Fill(queue);
  std::atomic<int> ended{0};
  std::vector<std::thread> waiters;
  waiters.emplace_back([&] {
    std::vector<tTCPEventItem> items = Batch(0, 1);
    EXPECT_EQ(queue.PushWhenRoom(items, 60000), 0u);
    ++ended;
  });
  waiters.emplace_back([&] {
    EXPECT_FALSE(queue.WaitForRoom(60000));
    ++ended;
  });
  ASSERT_TRUE(WaitForCondition([&] { return queue.Waiting() == 2; }));
  queue.WakeWaiters();
  const bool bothEnded = WaitForCondition([&] { return ended.load() == 2; }, 10000);
  if (!bothEnded) {
    queue.ReleaseAll();
  }
  for (std::thread& waiter : waiters) {
    waiter.join();
  }
  EXPECT_TRUE(bothEnded);
  EXPECT_EQ(queue.Count(), TReceiveManagerQueue::MaxCount);
}

}  // namespace

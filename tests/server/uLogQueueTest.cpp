#include "server/uLogQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::unique_ptr<tLogQueueElement> Data(std::uint16_t port, std::uint32_t size = 4) {
  const std::vector<std::uint8_t> bytes(size, 0x5A);
  return tLogQueueElement::Make(lkTcpData, "127.0.0.1", port, bytes.data(), size);
}

TEST(tLogQueueElementTest, CopiesTheBytesAndOwnsNoneWhenEmpty) {
  std::vector<std::uint8_t> bytes{1, 2, 3};
  auto element = tLogQueueElement::Make(lkSyslogData, "10.0.0.5", 514, bytes.data(), 3);
  bytes[0] = 9;
  ASSERT_EQ(element->Size, 3u);
  EXPECT_EQ(element->Data[0], 1);
  EXPECT_EQ(element->Kind, lkSyslogData);
  EXPECT_EQ(element->PeerAddress, "10.0.0.5");
  EXPECT_EQ(element->PeerPort, 514);

  auto connect = tLogQueueElement::Make(lkConnect, "10.0.0.5", 7, nullptr, 0);
  EXPECT_EQ(connect->Size, 0u);
  EXPECT_EQ(connect->Data, nullptr);
}

TEST(tLogQueueTest, PopsInArrivalOrder) {
  tLogQueue queue;
  for (std::uint16_t port = 1; port <= 3; ++port) {
    queue.Push(Data(port));
  }
  std::unique_ptr<tLogQueueElement> element;
  for (std::uint16_t port = 1; port <= 3; ++port) {
    ASSERT_TRUE(queue.Pop(element));
    EXPECT_EQ(element->PeerPort, port);
  }
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_EQ(queue.QueuedBytes(), 0u);
}

TEST(tLogQueueTest, PopWokenOnAnEmptyQueueReturnsFalseAndResetsTheSignal) {
  tLogQueue queue;
  queue.Wake();
  std::unique_ptr<tLogQueueElement> element = Data(9);
  EXPECT_FALSE(queue.Pop(element));
  EXPECT_EQ(element, nullptr);

  // The signal was reset: the next Pop waits until something arrives.
  std::atomic<bool> popped{false};
  std::thread consumer([&] {
    std::unique_ptr<tLogQueueElement> next;
    EXPECT_TRUE(queue.Pop(next));
    popped = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(popped.load());
  queue.Push(Data(1));
  consumer.join();
  EXPECT_TRUE(popped.load());
}

TEST(tLogQueueTest, SignalStaysSetWhileElementsRemain) {
  tLogQueue queue;
  queue.Push(Data(1));
  queue.Push(Data(2));
  std::unique_ptr<tLogQueueElement> element;
  ASSERT_TRUE(queue.Pop(element));
  // Would block for ever if the first Pop had reset the signal.
  ASSERT_TRUE(queue.Pop(element));
  EXPECT_EQ(element->PeerPort, 2);
}

TEST(tLogQueueTest, ClearReleasesEveryElement) {
  tLogQueue queue;
  for (std::uint16_t port = 0; port < 10; ++port) {
    queue.Push(Data(port, 1000));
  }
  EXPECT_EQ(queue.Count(), 10u);
  EXPECT_GE(queue.QueuedBytes(), 10'000u);
  queue.Clear();
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_EQ(queue.QueuedBytes(), 0u);
  // Elements left in a destroyed queue are released too (the leak checker watches this one).
  queue.Push(Data(1));
}

TEST(tLogQueueTest, ConcurrentProducersKeepTheirOwnOrder) {
  tLogQueue queue;
  constexpr int PerProducer = 5000;
  const auto produce = [&](std::uint16_t port) {
    for (int i = 0; i < PerProducer; ++i) {
      const auto sequence = static_cast<std::uint32_t>(i);
      queue.Push(tLogQueueElement::Make(lkTcpData, "", port, &sequence, sizeof sequence));
    }
  };
  std::thread first(produce, 1);
  std::thread second(produce, 2);
  std::uint32_t expected[3] = {0, 0, 0};
  std::unique_ptr<tLogQueueElement> element;
  for (int taken = 0; taken < 2 * PerProducer;) {
    if (queue.Pop(element)) {
      std::uint32_t sequence = 0;
      std::memcpy(&sequence, element->Data.get(), sizeof sequence);
      ASSERT_EQ(sequence, expected[element->PeerPort]++);
      ++taken;
    }
  }
  first.join();
  second.join();
  EXPECT_EQ(expected[1], static_cast<std::uint32_t>(PerProducer));
  EXPECT_EQ(expected[2], static_cast<std::uint32_t>(PerProducer));
}

TEST(tLogQueueTest, WaitForRoomHoldsProducersAboveTheMarkUntilPopMakesRoom) {
  tLogQueue queue(3000);
  queue.Push(Data(1, 2000));
  EXPECT_TRUE(queue.WaitForRoom());  // at or below the mark: no wait
  queue.Push(Data(2, 2000));

  std::atomic<bool> done{false};
  std::thread producer([&] {
    EXPECT_TRUE(queue.WaitForRoom());
    done = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(done.load());
  std::unique_ptr<tLogQueueElement> element;
  ASSERT_TRUE(queue.Pop(element));
  producer.join();
  EXPECT_TRUE(done.load());
}

TEST(tLogQueueTest, ReleaseWaitersEndsEveryWaitForGood) {
  tLogQueue queue(10);
  queue.Push(Data(1, 100));
  std::thread producer([&] { EXPECT_FALSE(queue.WaitForRoom()); });
  std::this_thread::sleep_for(20ms);
  queue.ReleaseWaiters();
  producer.join();
  EXPECT_FALSE(queue.WaitForRoom());
  EXPECT_EQ(queue.Count(), 1u);
}

// The stop's drain: TryPop never waits, also when a Wake left the event set on an empty queue.
TEST(tLogQueueTest, TryPopTakesInOrderAndNeverWaits) {
  tLogQueue queue;
  std::unique_ptr<tLogQueueElement> element;
  queue.Wake();
  EXPECT_FALSE(queue.TryPop(element));
  EXPECT_EQ(element, nullptr);
  queue.Push(Data(1));
  queue.Push(Data(2, 10));
  ASSERT_TRUE(queue.TryPop(element));
  EXPECT_EQ(element->PeerPort, 1);
  ASSERT_TRUE(queue.TryPop(element));
  EXPECT_EQ(element->PeerPort, 2);
  EXPECT_FALSE(queue.TryPop(element));
  EXPECT_EQ(queue.QueuedBytes(), 0u);
}

}  // namespace

namespace {

// The main loop's pass: everything queued at once, oldest first, and the event reset.
TEST(tLogQueueTakeAllTest, TakesEveryElementInOrderAndLeavesTheQueueEmpty) {
  tLogQueue queue;
  for (std::uint32_t size : {1u, 2u, 3u}) {
    queue.Push(tLogQueueElement::Make(lkTcpData, "127.0.0.1", 1, "abc", size));
  }
  std::deque<std::unique_ptr<tLogQueueElement>> pass;
  ASSERT_TRUE(queue.TakeAll(pass));
  ASSERT_EQ(pass.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(pass[i]->Size, i + 1);
  }
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_EQ(queue.QueuedBytes(), 0u);
  // A Wake without elements lets TakeAll return empty-handed.
  queue.Wake();
  std::deque<std::unique_ptr<tLogQueueElement>> none;
  EXPECT_FALSE(queue.TakeAll(none));
  EXPECT_TRUE(none.empty());
}

// A pass cut short puts back what it did not reach, in front of what came meanwhile.
TEST(tLogQueueTakeAllTest, RequeuePutsTheRestBackInFrontInOrder) {
  tLogQueue queue;
  for (std::uint32_t size : {1u, 2u, 3u}) {
    queue.Push(tLogQueueElement::Make(lkTcpData, "127.0.0.1", 1, "abc", size));
  }
  std::deque<std::unique_ptr<tLogQueueElement>> pass;
  ASSERT_TRUE(queue.TakeAll(pass));
  pass.front().reset();  // processed
  queue.Push(tLogQueueElement::Make(lkDisconnect, "127.0.0.1", 1, nullptr, 0));
  queue.Requeue(pass);
  EXPECT_TRUE(pass.empty());
  std::unique_ptr<tLogQueueElement> element;
  ASSERT_TRUE(queue.TryPop(element));
  EXPECT_EQ(element->Size, 2u);
  ASSERT_TRUE(queue.TryPop(element));
  EXPECT_EQ(element->Size, 3u);
  ASSERT_TRUE(queue.TryPop(element));
  EXPECT_EQ(element->Kind, lkDisconnect);
  EXPECT_FALSE(queue.TryPop(element));
}

// The element count is a mark of its own: many small elements hold producers too, and a
// TakeAll lets them go on.
TEST(tLogQueueTakeAllTest, CountMarkHoldsProducersUntilTakeAllMakesRoom) {
  tLogQueue queue(1u << 20, 2);
  for (int i = 0; i < 3; ++i) {
    queue.Push(tLogQueueElement::Make(lkTcpData, "127.0.0.1", 1, "a", 1));
  }
  std::atomic<bool> done{false};
  std::thread producer([&] {
    queue.PushWhenRoom(tLogQueueElement::Make(lkTcpData, "127.0.0.1", 1, "b", 1));
    done = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(done.load());
  std::deque<std::unique_ptr<tLogQueueElement>> pass;
  ASSERT_TRUE(queue.TakeAll(pass));
  producer.join();
  EXPECT_EQ(pass.size(), 3u);
  EXPECT_EQ(queue.Count(), 1u);
}

}  // namespace

namespace {

// A batch of datagrams goes in whole and in order, behind what was queued, and its bytes count.
TEST(tLogQueueBatchTest, PushAllAppendsInOrderBehindWhatIsQueuedAndEmptiesTheBatch) {
  tLogQueue queue;
  queue.Push(tLogQueueElement::Make(lkConnect, "127.0.0.1", 1, nullptr, 0));
  std::vector<std::unique_ptr<tLogQueueElement>> batch;
  std::size_t bytes = sizeof(tLogQueueElement);
  const std::string text(32, 'd');
  for (std::uint16_t port = 10; port < 15; ++port) {
    batch.push_back(tLogQueueElement::Make(lkSyslogData, "127.0.0.1", port, text.data(), port));
    bytes += sizeof(tLogQueueElement) + port;
  }
  queue.PushAllWhenRoom(batch);
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(queue.Count(), 6u);
  EXPECT_EQ(queue.QueuedBytes(), bytes);
  std::deque<std::unique_ptr<tLogQueueElement>> pass;
  ASSERT_TRUE(queue.TakeAll(pass));
  ASSERT_EQ(pass.size(), 6u);
  EXPECT_EQ(pass[0]->Kind, lkConnect);
  for (std::size_t i = 1; i < pass.size(); ++i) {
    EXPECT_EQ(pass[i]->PeerPort, 9 + i);
    EXPECT_EQ(pass[i]->Size, 9 + i);
  }
  // An empty batch neither adds nor wakes: a Wake is needed for TakeAll to return.
  queue.PushAllWhenRoom(batch);
  EXPECT_EQ(queue.Count(), 0u);
  queue.Wake();
  std::deque<std::unique_ptr<tLogQueueElement>> none;
  EXPECT_FALSE(queue.TakeAll(none));
}

// A batch pushed by another thread wakes a TakeAll that is already waiting.
TEST(tLogQueueBatchTest, BatchIntoAnEmptyQueueWakesTheWaitingConsumer) {
  tLogQueue queue;
  std::deque<std::unique_ptr<tLogQueueElement>> pass;
  std::thread consumer([&] { queue.TakeAll(pass); });
  std::this_thread::sleep_for(20ms);
  std::vector<std::unique_ptr<tLogQueueElement>> batch;
  batch.push_back(Data(1));
  batch.push_back(Data(2));
  queue.PushAllWhenRoom(batch);
  consumer.join();
  ASSERT_EQ(pass.size(), 2u);
  EXPECT_EQ(pass[1]->PeerPort, 2);
}

// Above a mark the whole batch waits, then goes in at once when a TakeAll makes room.
TEST(tLogQueueBatchTest, BatchWaitsAboveTheMarkUntilTakeAllMakesRoom) {
  tLogQueue queue(1u << 20, 2);
  for (int i = 0; i < 3; ++i) {
    queue.Push(Data(1));
  }
  std::atomic<bool> done{false};
  std::thread producer([&] {
    std::vector<std::unique_ptr<tLogQueueElement>> batch;
    for (std::uint16_t port = 2; port < 6; ++port) {
      batch.push_back(Data(port));
    }
    queue.PushAllWhenRoom(batch);
    done = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(done.load());
  EXPECT_EQ(queue.Count(), 3u);
  std::deque<std::unique_ptr<tLogQueueElement>> pass;
  ASSERT_TRUE(queue.TakeAll(pass));
  producer.join();
  EXPECT_EQ(pass.size(), 3u);
  // Past the count mark by the batch: the mark holds the next push, not this one.
  EXPECT_EQ(queue.Count(), 4u);
}

// A refilled element is what Make makes of the same bytes; its buffer stays when it is large
// enough and grows in steps of 256 bytes when not; an empty refill owns nothing.
TEST(tLogQueueElementTest, RefillKeepsALargeEnoughBufferAndCopiesTheBytes) {
  struct Case {
    std::uint32_t size;
    bool sameBuffer;
    std::uint32_t capacity;
  };
  // One element refilled in turn with each size.
  const Case cases[] = {{100, false, 256}, {256, true, 256}, {20, true, 256},
                        {257, false, 512}, {0, false, 0},    {1, false, 256}};
  tLogQueueElement element;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<std::uint8_t> bytes(c.size);
    for (std::uint32_t i = 0; i < c.size; ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + c.size);
    }
    const std::uint8_t* before = element.Data.get();
    element.Refill(lkSyslogData, "10.1.2.3", 514, bytes.data(), c.size);
    EXPECT_EQ(element.Kind, lkSyslogData);
    EXPECT_EQ(element.PeerAddress, "10.1.2.3");
    EXPECT_EQ(element.PeerPort, 514);
    ASSERT_EQ(element.Size, c.size);
    EXPECT_EQ(element.Capacity, c.capacity);
    if (c.size == 0) {
      EXPECT_EQ(element.Data, nullptr);
      continue;
    }
    EXPECT_EQ(element.Data.get() == before, c.sameBuffer);
    EXPECT_EQ(std::memcmp(element.Data.get(), bytes.data(), c.size), 0);
  }
}

// Elements of a processed pass come back through the next batch push, as many as were given
// back; elements with a buffer larger than SpareCapacity and moved-from ones are not kept.
TEST(tLogQueueRecycleTest, RecycledElementsComeBackWithTheNextBatch) {
  tLogQueue queue;
  const std::string big(tLogQueue::SpareCapacity + 1, 'b');
  std::deque<std::unique_ptr<tLogQueueElement>> pass;
  pass.push_back(Data(1));
  pass.push_back(tLogQueueElement::Make(lkTcpData, "127.0.0.1", 2, big.data(),
                                        static_cast<std::uint32_t>(big.size())));
  pass.push_back(nullptr);
  pass.push_back(Data(3, 40));
  const tLogQueueElement* first = pass[0].get();
  const tLogQueueElement* last = pass[3].get();
  queue.Recycle(pass);
  EXPECT_TRUE(pass.empty());
  // Recycled elements are not queued.
  EXPECT_EQ(queue.Count(), 0u);
  EXPECT_EQ(queue.QueuedBytes(), 0u);

  std::vector<std::unique_ptr<tLogQueueElement>> batch;
  std::vector<std::unique_ptr<tLogQueueElement>> spares;
  batch.push_back(Data(9));
  queue.PushAllWhenRoom(batch, spares);
  ASSERT_EQ(spares.size(), 2u);
  EXPECT_TRUE((spares[0].get() == first && spares[1].get() == last) ||
              (spares[0].get() == last && spares[1].get() == first));
  // Given out once: the next push finds none.
  batch.push_back(Data(10));
  queue.PushAllWhenRoom(batch, spares);
  EXPECT_EQ(spares.size(), 2u);
  EXPECT_EQ(queue.Count(), 2u);
}

// The queue keeps at most SpareLimit elements, and a batch push tops its caller's spares up to
// that number, not beyond.
TEST(tLogQueueRecycleTest, SparesAreBounded) {
  tLogQueue queue;
  std::deque<std::unique_ptr<tLogQueueElement>> pass;
  for (std::size_t i = 0; i < tLogQueue::SpareLimit + 10; ++i) {
    pass.push_back(Data(1));
  }
  queue.Recycle(pass);
  std::vector<std::unique_ptr<tLogQueueElement>> spares;
  for (int i = 0; i < 5; ++i) {
    spares.push_back(Data(2));
  }
  std::vector<std::unique_ptr<tLogQueueElement>> batch;
  batch.push_back(Data(3));
  queue.PushAllWhenRoom(batch, spares);
  EXPECT_EQ(spares.size(), tLogQueue::SpareLimit);
  // What was left stays kept for later: the spares handed out plus the rest are the limit.
  spares.clear();
  batch.push_back(Data(4));
  queue.PushAllWhenRoom(batch, spares);
  EXPECT_EQ(spares.size(), 5u);
}

}  // namespace

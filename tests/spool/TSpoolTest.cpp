#include "spool/TSpool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/spool/uSpoolTestSupport.h"
#include "tests/uTestDirectory.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> Segments(const std::string& directory) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() == ".ksp") {
      found.push_back(entry.path());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace

TEST(TSpoolTest, RecordsComeOutInOrderWithIdsThatSurviveReopening) {
  TTestDirectory dir;
  std::string instance;
  {
    TSpool spool(SpoolOptions(dir.Dir()));
    instance = spool.InstanceId();
    ASSERT_EQ(instance.size(), 16u);
    for (std::uint64_t n = 0; n < 1000; ++n) {
      ASSERT_TRUE(spool.Add(Payload(n)));
    }
    const auto records = TakeAll(spool, 37);
    ASSERT_EQ(records.size(), 1000u);
    for (std::uint64_t n = 0; n < records.size(); ++n) {
      EXPECT_EQ(records[n].Sequence, n);
      EXPECT_EQ(records[n].Payload, Payload(n));
    }
    EXPECT_EQ(spool.RecordId(records[7].Sequence), instance + "-7");
    AcknowledgeAll(spool, records);
    const auto counts = spool.Statistics();
    EXPECT_EQ(counts.Added, 1000u);
    EXPECT_EQ(counts.Taken, 1000u);
    EXPECT_EQ(counts.Acknowledged, 1000u);
    EXPECT_EQ(counts.Held, 0u);
  }
  TSpool spool(SpoolOptions(dir.Dir()));
  EXPECT_EQ(spool.InstanceId(), instance);
  EXPECT_EQ(spool.Statistics().Recovered, 0u);
  EXPECT_TRUE(TakeAll(spool).empty());
  ASSERT_TRUE(spool.Add(Payload(1000)));
  const auto next = TakeAll(spool);
  ASSERT_EQ(next.size(), 1u);
  // Sequences go on where the last open ended, so an id is never given twice.
  EXPECT_EQ(next[0].Sequence, 1000u);
}

TEST(TSpoolTest, WhatWasNotConfirmedIsSentAgainAfterReopening) {
  // Confirmations out of order: only the unbroken run from the oldest is kept across opens.
  struct TCase {
    const char* Name;
    std::uint64_t ConfirmedRun;  // 0..run-1 confirmed
    bool ConfirmOddAbove;        // and the odd ones above
  };
  const TCase cases[] = {
      {"none", 0, false}, {"run", 10, false}, {"run and odd", 10, true}, {"all", 100, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TTestDirectory dir;
    {
      TSpool spool(SpoolOptions(dir.Dir()));
      for (std::uint64_t n = 0; n < 100; ++n) {
        ASSERT_TRUE(spool.Add(Payload(n)));
      }
      for (const auto& record : TakeAll(spool)) {
        if (record.Sequence < c.ConfirmedRun || (c.ConfirmOddAbove && record.Sequence % 2 == 1)) {
          spool.Acknowledge(record.Sequence);
        }
      }
    }
    TSpool spool(SpoolOptions(dir.Dir()));
    EXPECT_EQ(spool.Statistics().Recovered, 100 - c.ConfirmedRun);
    const auto again = TakeAll(spool);
    ASSERT_EQ(again.size(), 100 - c.ConfirmedRun);
    for (std::uint64_t i = 0; i < again.size(); ++i) {
      EXPECT_EQ(again[i].Sequence, c.ConfirmedRun + i);
      EXPECT_EQ(again[i].Payload, Payload(c.ConfirmedRun + i));
    }
  }
}

TEST(TSpoolTest, RetriedRecordsGoOutBeforeNewerOnes) {
  TTestDirectory dir;
  TSpool spool(SpoolOptions(dir.Dir()));
  for (std::uint64_t n = 0; n < 10; ++n) {
    ASSERT_TRUE(spool.Add(Payload(n)));
  }
  std::vector<TSpoolRecord> first;
  ASSERT_EQ(spool.Take(first, 5), 5u);
  spool.Retry(3);
  spool.Retry(1);
  spool.Acknowledge(0);
  EXPECT_EQ(spool.InFlightCount(), 2u);  // 2 and 4
  EXPECT_EQ(spool.WaitingCount(), 7u);
  std::vector<TSpoolRecord> next;
  ASSERT_EQ(spool.Take(next, 4), 4u);
  EXPECT_EQ(next[0].Sequence, 1u);
  EXPECT_EQ(next[0].Payload, Payload(1));
  EXPECT_EQ(next[1].Sequence, 3u);
  EXPECT_EQ(next[2].Sequence, 5u);
  EXPECT_EQ(next[3].Sequence, 6u);
  spool.RetryAll();
  std::vector<TSpoolRecord> all;
  ASSERT_EQ(spool.Take(all, 100), 9u);
  EXPECT_EQ(all.front().Sequence, 1u);
  EXPECT_EQ(all.back().Sequence, 9u);
  // A confirmation of a record not in flight changes nothing.
  spool.Acknowledge(0);
  spool.Acknowledge(12345);
  EXPECT_EQ(spool.Statistics().Acknowledged, 1u);
}

TEST(TSpoolTest, RecordsBeyondTheMemoryLimitAreReadBackFromTheirSegments) {
  TTestDirectory dir;
  auto options = SpoolOptions(dir.Dir());
  options.MemoryLimitBytes = 1000;
  options.SegmentBytes = 8192;
  TSpool spool(options);
  for (std::uint64_t n = 0; n < 3000; ++n) {
    ASSERT_TRUE(spool.Add(Payload(n, 50)));
    ASSERT_LE(spool.Statistics().MemoryBytes, options.MemoryLimitBytes);
  }
  EXPECT_GT(Segments(dir.Dir()).size(), 10u);
  // Half taken and confirmed, then more added while the rest waits on disk.
  std::vector<TSpoolRecord> half;
  ASSERT_EQ(spool.Take(half, 1500), 1500u);
  AcknowledgeAll(spool, half);
  for (std::uint64_t n = 3000; n < 4000; ++n) {
    ASSERT_TRUE(spool.Add(Payload(n, 50)));
  }
  const auto rest = TakeAll(spool, 100);
  ASSERT_EQ(rest.size(), 2500u);
  for (std::uint64_t i = 0; i < rest.size(); ++i) {
    ASSERT_EQ(rest[i].Payload, Payload(1500 + i, 50));
  }
  AcknowledgeAll(spool, rest);
  EXPECT_EQ(spool.Statistics().Held, 0u);
  // Confirmed segments are removed: only the one being written stays.
  EXPECT_EQ(Segments(dir.Dir()).size(), 1u);
  EXPECT_EQ(spool.Statistics().Dropped, 0u);
}

TEST(TSpoolTest, TheDiskLimitDropsByPolicyAndCountsEachRecord) {
  constexpr std::uint64_t Added = 2000;
  constexpr std::uint64_t ConfirmedFirst = 100;
  for (const auto policy : {TSpoolDropPolicy::DropOldest, TSpoolDropPolicy::DropNewest}) {
    SCOPED_TRACE(policy == TSpoolDropPolicy::DropOldest ? "oldest" : "newest");
    TTestDirectory dir;
    auto options = SpoolOptions(dir.Dir());
    options.DiskLimitBytes = 64 * 1024;
    options.SegmentBytes = 8 * 1024;
    options.DropPolicy = policy;
    TSpool spool(options);
    std::uint64_t refused = 0;
    for (std::uint64_t n = 0; n < Added; ++n) {
      if (!spool.Add(Payload(n % 10, 100))) {
        ++refused;
      }
      if (n + 1 == ConfirmedFirst) {
        AcknowledgeAll(spool, TakeAll(spool));
      }
      ASSERT_LE(spool.Statistics().DiskBytes, options.DiskLimitBytes);
    }
    const auto left = TakeAll(spool);
    const auto counts = spool.Statistics();
    // Every record is confirmed, waiting or counted as dropped: none is lost unseen.
    EXPECT_EQ(ConfirmedFirst + left.size() + counts.Dropped, Added);
    EXPECT_EQ(spool.TakeDroppedCount(), counts.Dropped);
    EXPECT_EQ(spool.TakeDroppedCount(), 0u);
    ASSERT_FALSE(left.empty());
    ASSERT_GT(counts.Dropped, 0u);
    for (std::size_t i = 1; i < left.size(); ++i) {
      ASSERT_EQ(left[i].Sequence, left[i - 1].Sequence + 1);
    }
    if (policy == TSpoolDropPolicy::DropOldest) {
      EXPECT_EQ(refused, 0u);
      // The newest survive: those dropped are exactly the oldest unconfirmed ones.
      EXPECT_EQ(left.back().Sequence, Added - 1);
      EXPECT_EQ(left.front().Sequence, ConfirmedFirst + counts.Dropped);
    } else {
      EXPECT_EQ(refused, counts.Dropped);
      EXPECT_EQ(left.front().Sequence, ConfirmedFirst);
      // Refused records get no sequence, so the kept ones follow each other without a gap.
      EXPECT_EQ(left.back().Sequence, ConfirmedFirst + left.size() - 1);
    }
  }
}

TEST(TSpoolTest, ARecordLargerThanTheDiskLimitIsDroppedAndCounted) {
  TTestDirectory dir;
  auto options = SpoolOptions(dir.Dir());
  options.DiskLimitBytes = 8192;
  TSpool spool(options);
  EXPECT_FALSE(spool.Add(std::string(9000, 'x')));
  EXPECT_TRUE(spool.Add("small"));
  EXPECT_EQ(spool.Statistics().Dropped, 1u);
  EXPECT_EQ(TakeAll(spool).size(), 1u);
}

TEST(TSpoolTest, ATornTailIsIgnoredReportedAndNeverWrittenBehind) {
  TTestDirectory dir;
  {
    TSpool spool(SpoolOptions(dir.Dir()));
    for (std::uint64_t n = 0; n < 10; ++n) {
      ASSERT_TRUE(spool.Add(Payload(n)));
    }
  }
  const auto segment = Segments(dir.Dir()).back();
  // The last frame is cut in half, as a crash during its write leaves it.
  fs::resize_file(segment, fs::file_size(segment) - 5);
  {
    TSpool spool(SpoolOptions(dir.Dir()));
    EXPECT_NE(JoinedProblems(spool).find("torn"), std::string::npos);
    EXPECT_EQ(spool.Statistics().Recovered, 9u);
    ASSERT_TRUE(spool.Add("after"));
  }
  TSpool spool(SpoolOptions(dir.Dir()));
  const auto records = TakeAll(spool);
  ASSERT_EQ(records.size(), 10u);
  for (std::uint64_t n = 0; n < 9; ++n) {
    EXPECT_EQ(records[n].Payload, Payload(n));
  }
  EXPECT_EQ(records[9].Sequence, 9u);
  EXPECT_EQ(records[9].Payload, "after");
}

TEST(TSpoolTest, ADamagedFrameInsideASegmentLosesTheRestOfThatSegmentCounted) {
  TTestDirectory dir;
  auto options = SpoolOptions(dir.Dir());
  options.SegmentBytes = 1024;
  std::uint64_t added = 0;
  {
    TSpool spool(options);
    for (; added < 200; ++added) {
      ASSERT_TRUE(spool.Add(Payload(added, 20)));
    }
  }
  const auto segments = Segments(dir.Dir());
  ASSERT_GT(segments.size(), 3u);
  // One byte of the second segment's third frame's payload changes.
  const std::string name = segments[1].filename().string();
  const std::uint64_t first = std::stoull(name.substr(8, 20));
  const std::uint64_t next = std::stoull(segments[2].filename().string().substr(8, 20));
  const std::size_t frame = 20 + Payload(0, 20).size();
  {
    std::fstream file(segments[1], std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(2 * frame + 25));
    file.put('#');
  }
  TSpool spool(options);
  const auto records = TakeAll(spool);
  const std::uint64_t lost = next - (first + 2);
  EXPECT_EQ(records.size(), added - lost);
  EXPECT_EQ(spool.Statistics().Dropped, lost);
  EXPECT_NE(JoinedProblems(spool).find("dropped"), std::string::npos);
  for (const auto& record : records) {
    EXPECT_TRUE(record.Sequence < first + 2 || record.Sequence >= next) << record.Sequence;
  }
}

TEST(TSpoolTest, ADamagedCheckpointMeansResendingEverythingOnDisk) {
  TTestDirectory dir;
  {
    TSpool spool(SpoolOptions(dir.Dir()));
    for (std::uint64_t n = 0; n < 20; ++n) {
      ASSERT_TRUE(spool.Add(Payload(n)));
    }
    std::vector<TSpoolRecord> some;
    spool.Take(some, 5);
    AcknowledgeAll(spool, some);
  }
  WriteTextFile(dir.File("checkpoint"), "garbage-garbage-garbage!");
  TSpool spool(SpoolOptions(dir.Dir()));
  EXPECT_NE(JoinedProblems(spool).find("checkpoint"), std::string::npos);
  const auto records = TakeAll(spool);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().Sequence, 19u);
  EXPECT_LE(records.front().Sequence, 5u);
}

TEST(TSpoolTest, AddingAndSendingOnTwoThreadsKeepsOrderAndLosesNothing) {
  TTestDirectory dir;
  auto options = SpoolOptions(dir.Dir());
  options.MemoryLimitBytes = 4096;
  options.SegmentBytes = 16384;
  TSpool spool(options);
  constexpr std::uint64_t Count = 20000;
  std::vector<std::uint64_t> sent;
  std::thread sender([&] {
    std::vector<TSpoolRecord> batch;
    for (int rounds = 0; sent.size() < Count && rounds < 100000; ++rounds) {
      batch.clear();
      spool.Take(batch, 100, 10);
      for (const auto& record : batch) {
        sent.push_back(record.Sequence);
        spool.Acknowledge(record.Sequence);
      }
    }
  });
  for (std::uint64_t n = 0; n < Count; ++n) {
    ASSERT_TRUE(spool.Add(Payload(n)));
  }
  sender.join();
  ASSERT_EQ(sent.size(), Count);
  for (std::uint64_t n = 0; n < Count; ++n) {
    ASSERT_EQ(sent[n], n);
  }
  EXPECT_EQ(spool.Statistics().Held, 0u);
}

TEST(TSpoolTest, AnUnusableDirectoryFailsTheOpenWithItsName) {
  TTestDirectory dir;
  WriteTextFile(dir.File("plain-file"), "x");
  try {
    TSpool spool(SpoolOptions(dir.File("plain-file")));
    FAIL() << "opened";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("plain-file"), std::string::npos);
  }
}

TEST(TSpoolTest, ABatchIsStoredInOrderAndItsRecordsThatCannotBeKeptAreCounted) {
  // An oversized record in the middle, and a disk limit that holds only part of the batches:
  // each record is stored in order or counted as dropped, by the policy, as with single adds.
  constexpr std::uint64_t Batches = 40;
  constexpr std::uint64_t PerBatch = 50;
  for (const auto policy : {TSpoolDropPolicy::DropOldest, TSpoolDropPolicy::DropNewest}) {
    SCOPED_TRACE(policy == TSpoolDropPolicy::DropOldest ? "oldest" : "newest");
    TTestDirectory dir;
    auto options = SpoolOptions(dir.Dir());
    options.DiskLimitBytes = 64 * 1024;
    options.SegmentBytes = 8 * 1024;
    options.DropPolicy = policy;
    std::uint64_t stored = 0;
    {
      TSpool spool(options);
      const std::string tooLarge(70 * 1024, 'x');
      for (std::uint64_t b = 0; b < Batches; ++b) {
        std::vector<std::string> texts;
        for (std::uint64_t n = 0; n < PerBatch; ++n) {
          texts.push_back(Payload(b * PerBatch + n, 100));
        }
        std::vector<std::string_view> batch(texts.begin(), texts.end());
        if (b == 1) {
          batch.insert(batch.begin() + 10, tooLarge);
        }
        stored += spool.Add(batch);
        ASSERT_LE(spool.Statistics().DiskBytes, options.DiskLimitBytes);
      }
      const auto counts = spool.Statistics();
      EXPECT_EQ(counts.Added, stored);
      EXPECT_EQ(
          counts.Dropped,
          Batches * PerBatch + 1 - (policy == TSpoolDropPolicy::DropNewest ? stored : counts.Held));
      EXPECT_EQ(spool.TakeDroppedCount(), counts.Dropped);
    }
    // What is kept comes back after reopening, in order and without a gap.
    TSpool again(options);
    const auto left = TakeAll(again);
    ASSERT_FALSE(left.empty());
    for (std::size_t i = 0; i < left.size(); ++i) {
      const std::uint64_t n =
          policy == TSpoolDropPolicy::DropNewest ? i : Batches * PerBatch - left.size() + i;
      ASSERT_EQ(left[i].Payload, Payload(n, 100)) << i;
    }
    if (policy == TSpoolDropPolicy::DropNewest) {
      EXPECT_EQ(left.size(), stored);
    }
  }
}

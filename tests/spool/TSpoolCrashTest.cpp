#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "platform/uChildProcess.h"
#include "spool/TSpool.h"
#include "tests/spool/uSpoolTestSupport.h"
#include "tests/uTestDirectory.h"

namespace {

struct TChildProgress {
  std::uint64_t Added = 0;  // records whose Add returned: 0..Added-1
  // Every record at or above it was certainly not confirmed; those below may have been.
  std::uint64_t Confirming = 0;
};

TChildProgress ReadProgress(const std::string& path) {
  TChildProgress progress;
  std::istringstream lines(ReadTextFile(path));
  std::string word;
  std::uint64_t value = 0;
  // A last line cut by the kill has no value or a short one; only whole lines count.
  std::string line;
  while (std::getline(lines, line)) {
    if (lines.eof()) {
      break;
    }
    std::istringstream parts(line);
    if (parts >> word >> value) {
      if (word == "added") {
        progress.Added = value + 1;
      } else if (word == "confirming") {
        progress.Confirming = value;
      }
    }
  }
  return progress;
}

}  // namespace

// The writer is killed at an arbitrary point of its loop, possibly in the middle of a write:
// every record Add had accepted is found again, in order, and sent from no later than the first
// one that was certainly not confirmed.
TEST(TSpoolCrashTest, AfterAKillEveryAcceptedRecordIsSentAgainInOrder) {
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    TTestDirectory dir;
    const std::string spoolDir = dir.File("spool");
    TChildProcess::TOptions options;
    options.Program = KELVRA_SPOOL_TEST_CHILD;
    options.Arguments = {spoolDir};
    options.OutputPath = dir.File("progress.txt");
    TChildProcess child(options);
    TChildProgress progress;
    for (int wait = 0; wait < 400 && progress.Added < 2000u + 500u * round; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      progress = ReadProgress(options.OutputPath);
    }
    child.Kill();
    ASSERT_TRUE(child.WaitFor(10000));
    progress = ReadProgress(options.OutputPath);
    ASSERT_GE(progress.Added, 1000u);

    TSpool spool(SpoolOptions(spoolDir));
    const auto records = TakeAll(spool, 500);
    ASSERT_FALSE(records.empty());
    EXPECT_LE(records.front().Sequence, progress.Confirming);
    EXPECT_GE(records.back().Sequence + 1, progress.Added);
    for (std::size_t i = 0; i < records.size(); ++i) {
      ASSERT_EQ(records[i].Sequence, records.front().Sequence + i);
      ASSERT_EQ(records[i].Payload, Payload(records[i].Sequence));
    }
    EXPECT_EQ(spool.Statistics().Dropped, 0u);
  }
}

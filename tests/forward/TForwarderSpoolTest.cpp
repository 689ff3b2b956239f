#include "plugins/forward/TForwarderSpool.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/uTestDirectory.h"

namespace {

using TLines = std::vector<std::string>;

struct TKeeper {
  TLines Lines;
  std::unique_ptr<TForwarderSpool> Spool;

  TKeeper(const std::string& directory, std::uint64_t diskLimit = 1ull << 30,
          TSpoolFullPolicy whenFull = TSpoolFullPolicy::DropOldest) {
    TForwardSpoolSettings settings;
    settings.Directory = directory;
    settings.DiskLimitBytes = diskLimit;
    settings.WhenFull = whenFull;
    Spool = std::make_unique<TForwarderSpool>(
        settings, "Test forwarder", "sends",
        [](int code) { return "error " + std::to_string(code); },
        [this](const std::string& line) { Lines.push_back(line); });
  }
  TLines Take() { return std::exchange(Lines, {}); }
};

TEST(TForwarderSpoolTest, FailedSendsAreCountedWithTheLastErrorAndReportedOnce) {
  TTestDirectory dir;
  TKeeper keeper(dir.File("spool"));
  ASSERT_NE(keeper.Spool->Spool(), nullptr);
  EXPECT_EQ(keeper.Take(), TLines{});
  keeper.Spool->SendFailed(5);
  keeper.Spool->SendFailed(9);
  keeper.Spool->SendFailed(7);
  // Not forced, and the minute since the open has not passed.
  keeper.Spool->Report(false);
  EXPECT_EQ(keeper.Take(), TLines{});
  keeper.Spool->Report(true);
  EXPECT_EQ(keeper.Take(),
            TLines{"Test forwarder: 3 sends failed and are sent again; last: error 7"});
  keeper.Spool->Report(true);
  EXPECT_EQ(keeper.Take(), TLines{});
}

TEST(TForwarderSpoolTest, WhatIsLeftAtStopIsReportedAndFoundAgainAtTheNextOpen) {
  TTestDirectory dir;
  {
    TKeeper keeper(dir.File("spool"));
    TSpool& spool = *keeper.Spool->Spool();
    for (int n = 0; n < 3; ++n) {
      spool.Add("record " + std::to_string(n));
    }
    std::vector<TSpoolRecord> taken;
    ASSERT_EQ(spool.Take(taken, 1), 1u);
    spool.Acknowledge(taken[0].Sequence);
    ASSERT_EQ(spool.Take(taken, 1), 1u);  // in flight at the stop: not confirmed either
    keeper.Spool->ReportStop();
    EXPECT_EQ(keeper.Take(),
              TLines{"Test forwarder: 2 records not confirmed at stop stay in the spool for the "
                     "next start"});
  }
  TKeeper again(dir.File("spool"));
  EXPECT_EQ(again.Take(),
            TLines{"Test forwarder: 2 unconfirmed records found in the spool are sent again"});
}

TEST(TForwarderSpoolTest, DropsAtTheDiskLimitAreReportedWithTheirExactCount) {
  TTestDirectory dir;
  TKeeper keeper(dir.File("spool"), 4096, TSpoolFullPolicy::DropNewest);
  TSpool& spool = *keeper.Spool->Spool();
  const std::string payload(100, 'x');
  int refused = 0;
  for (int n = 0; n < 200; ++n) {
    refused += spool.Add(payload) ? 0 : 1;
  }
  ASSERT_GT(refused, 0);
  EXPECT_EQ(spool.Statistics().Dropped, static_cast<std::uint64_t>(refused));
  keeper.Spool->Report(true);
  EXPECT_EQ(keeper.Take(), TLines{"Test forwarder spool: DROPPED " + std::to_string(refused) +
                                  " RECORDS at its disk limit"});
}

TEST(TForwarderSpoolTest, ASpoolThatCannotOpenIsReportedAndNothingElseIs) {
  TTestDirectory dir;
  WriteTextFile(dir.File("taken"), "a file where the directory should be");
  TKeeper keeper(dir.File("taken"));
  EXPECT_EQ(keeper.Spool->Spool(), nullptr);
  const TLines lines = keeper.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Test forwarder: the spool cannot be opened, records are dropped: ", 0),
            0u)
      << lines[0];
  keeper.Spool->SendFailed(1);
  keeper.Spool->Report(true);
  keeper.Spool->ReportStop();
  EXPECT_EQ(keeper.Take(), TLines{});
}

}  // namespace

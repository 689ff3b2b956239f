#include "logging/TLogFileTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "tests/logging/TFakeLogFileSystem.h"

namespace {

using Lines = std::vector<std::string>;

class TLogFileTableTest : public testing::Test {
 protected:
  std::unique_ptr<TLogFileTable> MakeTable(std::size_t maxOpenFiles = 4096) {
    TLogFileTableOptions options;
    options.MaxOpenFiles = maxOpenFiles;
    options.Ticks = [this] { return FTicks; };
    options.FileSystem = FDisk;
    return std::make_unique<TLogFileTable>(options);
  }

  Lines Report(TLogFileTable& table, bool force = false) {
    Lines lines;
    table.TakeDropReport(lines, force);
    return lines;
  }

  std::shared_ptr<TFakeLogFileSystem> FDisk = std::make_shared<TFakeLogFileSystem>();
  std::uint32_t FTicks = 5000;
};

TEST_F(TLogFileTableTest, ProducersOfOnePathShareOneOpenFile) {
  auto table = MakeTable();
  TLogFileTable::TRef first = table->Acquire("a/14.log");
  TLogFileTable::TRef second = table->Acquire("a/14.log");
  TLogFileTable::TRef other = table->Acquire("b/14.log");
  first.WriteLine("1\r\n");
  second.WriteLine("2\r\n");
  other.WriteLine("x\r\n");
  first.WriteLine("3\r\n");

  EXPECT_EQ(FDisk->OpenFiles, 2);
  EXPECT_EQ(table->FileCount(), 2u);
  EXPECT_EQ(FDisk->Content("a/14.log"), "1\r\n2\r\n3\r\n");
  first.Reset();
  EXPECT_EQ(FDisk->OpenFiles, 2);  // the second producer still writes to it
  second.Reset();
  EXPECT_EQ(FDisk->OpenFiles, 1);
  EXPECT_EQ(table->FileCount(), 1u);
}

TEST_F(TLogFileTableTest, TheOpenFileBoundCountsFilesAndReopensTheClosedOne) {
  auto table = MakeTable(2);
  TLogFileTable::TRef a = table->Acquire("a");
  TLogFileTable::TRef b = table->Acquire("b");
  TLogFileTable::TRef c = table->Acquire("c");
  a.WriteLine("a1\r\n");
  b.WriteLine("b1\r\n");
  c.WriteLine("c1\r\n");  // closes "a", written least recently
  EXPECT_EQ(FDisk->OpenFiles, 2);
  EXPECT_FALSE(a.IsOpen());
  a.WriteLine("a2\r\n");  // opens again, closing "b"
  EXPECT_EQ(FDisk->OpenFiles, 2);
  EXPECT_FALSE(b.IsOpen());
  EXPECT_EQ(FDisk->Content("a"), "a1\r\na2\r\n");
  EXPECT_EQ(table->DroppedLines(), 0u);
}

// More files than the bound, or than the process has descriptors for, written in turn, line by
// line and in passes: files close and open again, but every line reaches its file, in order.
TEST_F(TLogFileTableTest, FilesBeyondTheBoundOrTheDescriptorsGetEveryLineInOrder) {
  struct {
    const char* Name;
    std::size_t Bound;
    std::size_t Descriptors;
    std::size_t Files;
    bool Passes;  // the lines of a round held and written together
  } const cases[] = {
      {"within the bound", 8, TFakeLogFileSystem::Unlimited, 8, false},
      {"one beyond the bound", 7, TFakeLogFileSystem::Unlimited, 8, false},
      {"far beyond the bound, in passes", 3, TFakeLogFileSystem::Unlimited, 10, true},
      {"descriptors below the bound", 0, 5, 9, false},
      {"descriptors below the bound, in passes", 100, 2, 6, true},
  };
  constexpr int Rounds = 4;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    FDisk = std::make_shared<TFakeLogFileSystem>();
    FDisk->DescriptorLimit = c.Descriptors;
    auto table = MakeTable(c.Bound);
    std::vector<TLogFileTable::TRef> files;
    for (std::size_t f = 0; f < c.Files; ++f) {
      files.push_back(table->Acquire("f" + std::to_string(f)));
    }
    for (int round = 0; round < Rounds; ++round) {
      if (c.Passes) {
        table->HoldLines();
      }
      for (std::size_t f = 0; f < c.Files; ++f) {
        files[f].WriteLine(std::to_string(round) + "\r\n");
      }
      if (c.Passes) {
        table->WriteHeld();
      }
      const std::size_t room = std::min(c.Bound == 0 ? c.Files : c.Bound, c.Descriptors);
      EXPECT_LE(static_cast<std::size_t>(FDisk->OpenFiles), room);
    }
    for (std::size_t f = 0; f < c.Files; ++f) {
      EXPECT_EQ(FDisk->Content("f" + std::to_string(f)), "0\r\n1\r\n2\r\n3\r\n") << f;
    }
    EXPECT_EQ(table->DroppedLines(), 0u);
    EXPECT_EQ(Report(*table, true), Lines{});
  }
}

TEST_F(TLogFileTableTest, OpensWithinTheBoundOpenEachFileOnce) {
  auto table = MakeTable(10);
  std::vector<TLogFileTable::TRef> files;
  for (int f = 0; f < 10; ++f) {
    files.push_back(table->Acquire("f" + std::to_string(f)));
  }
  for (int round = 0; round < 5; ++round) {
    for (TLogFileTable::TRef& file : files) {
      file.WriteLine("x\r\n");
    }
  }
  EXPECT_EQ(FDisk->Opens, 10);
  EXPECT_EQ(FDisk->Writes, 50);
}

// No descriptor at all: closing the other files cannot help, so the line is counted with the
// platform's code after a few tries, and the table does not keep trying.
TEST_F(TLogFileTableTest, AShortageThatClosingCannotCureDropsTheLineAfterAFewOpens) {
  auto table = MakeTable(0);
  TLogFileTable::TRef a = table->Acquire("a");
  TLogFileTable::TRef b = table->Acquire("b");
  a.WriteLine("a1\r\n");
  FDisk->DescriptorLimit = 0;
  b.WriteLine("lost\r\n");
  EXPECT_FALSE(a.IsOpen());  // closed to make room, in vain
  EXPECT_LE(FDisk->Opens, 1 + 5);
  EXPECT_EQ(Report(*table, true),
            Lines{"DROPPED 1 LINES [code=" + std::to_string(EMFILE) + "] OPEN FAILED: b"});
  FDisk->DescriptorLimit = TFakeLogFileSystem::Unlimited;
  FTicks += 1000;
  b.WriteLine("b2\r\n");
  a.WriteLine("a2\r\n");
  EXPECT_EQ(FDisk->Content("a"), "a1\r\na2\r\n");
  EXPECT_EQ(FDisk->Content("b"), "b2\r\n");
}

TEST_F(TLogFileTableTest, AFailedOpenIsRetriedAtMostOnceASecondAndEveryLostLineIsReported) {
  auto table = MakeTable();
  FDisk->OpenError = EACCES;
  TLogFileTable::TRef file = table->Acquire("ro/14.log");
  file.WriteLine("lost 1\r\n");
  file.WriteLine("lost 2\r\n");
  EXPECT_EQ(FDisk->Opens, 1);  // the second line came within the second

  FDisk->OpenError = 0;
  FTicks += 999;
  file.WriteLine("lost 3\r\n");
  EXPECT_EQ(FDisk->Opens, 1);
  FTicks += 1;
  file.WriteLine("kept\r\n");
  EXPECT_EQ(FDisk->Opens, 2);
  EXPECT_EQ(FDisk->Content("ro/14.log"), "kept\r\n");
  EXPECT_EQ(Report(*table), Lines{"DROPPED 3 LINES [code=13] OPEN FAILED: ro/14.log"});
  EXPECT_EQ(Report(*table), Lines{});
}

TEST_F(TLogFileTableTest, AFailedWriteDropsThatLineAndTheNextLineOpensTheFileAgain) {
  auto table = MakeTable();
  TLogFileTable::TRef file = table->Acquire("f");
  file.WriteLine("one\r\n");
  FDisk->WriteError = EROFS;
  file.WriteLine("lost\r\n");
  EXPECT_FALSE(file.IsOpen());
  FDisk->WriteError = 0;
  file.WriteLine("two\r\n");
  EXPECT_EQ(FDisk->Opens, 2);
  EXPECT_EQ(FDisk->Content("f"), "one\r\ntwo\r\n");
  EXPECT_EQ(Report(*table), Lines{"DROPPED 1 LINES [code=30] WRITE FAILED: f"});
}

// A full disk: every line in the file is whole, the cut line is completed once there is room,
// lines in between are counted, and nothing is lost after the space is back.
TEST_F(TLogFileTableTest, AWriteCutShortIsCompletedBeforeAnyOtherLine) {
  auto table = MakeTable();
  TLogFileTable::TRef file = table->Acquire("full");
  file.WriteLine("first\r\n");
  FDisk->SpaceLeft = 4;
  file.WriteLine("second line\r\n");
  EXPECT_EQ(FDisk->Content("full"), "first\r\nseco");
  file.WriteLine("third\r\n");
  file.WriteLine("fourth\r\n");
  EXPECT_EQ(FDisk->Content("full"), "first\r\nseco");

  FDisk->SpaceLeft = TFakeLogFileSystem::Unlimited;
  file.WriteLine("fifth\r\n");
  EXPECT_EQ(FDisk->Content("full"), "first\r\nsecond line\r\nfifth\r\n");
  EXPECT_EQ(Report(*table), Lines{"DROPPED 2 LINES [code=28] WRITE FAILED: full"});
}

TEST_F(TLogFileTableTest, AShortWriteWithRoomLeftIsCompletedAtOnce) {
  auto table = MakeTable();
  TLogFileTable::TRef file = table->Acquire("f");
  // Room for all of it, but the first call takes only part (as a signal may cut a write).
  FDisk->SpaceLeft = 3;
  file.WriteLine("abcdef\r\n");
  FDisk->SpaceLeft = TFakeLogFileSystem::Unlimited;
  file.WriteLine("next\r\n");
  EXPECT_EQ(FDisk->Content("f"), "abcdef\r\nnext\r\n");
}

TEST_F(TLogFileTableTest, ATornLineLeftBehindIsCompletedBeforeThePathIsWrittenAgain) {
  auto table = MakeTable();
  {
    TLogFileTable::TRef file = table->Acquire("t");
    FDisk->SpaceLeft = 2;
    file.WriteLine("torn\r\n");
  }
  EXPECT_EQ(FDisk->OpenFiles, 0);
  EXPECT_EQ(table->FileCount(), 1u);  // kept for its rest

  FDisk->SpaceLeft = TFakeLogFileSystem::Unlimited;
  TLogFileTable::TRef again = table->Acquire("t");
  again.WriteLine("later\r\n");
  EXPECT_EQ(FDisk->Content("t"), "torn\r\nlater\r\n");
}

TEST_F(TLogFileTableTest, AtTheEndATornLineIsCompletedWhenThereIsRoom) {
  auto table = MakeTable();
  {
    TLogFileTable::TRef file = table->Acquire("t");
    FDisk->SpaceLeft = 2;
    file.WriteLine("torn line\r\n");
  }
  FDisk->SpaceLeft = TFakeLogFileSystem::Unlimited;
  table.reset();
  EXPECT_EQ(FDisk->Content("t"), "torn line\r\n");
  EXPECT_EQ(FDisk->OpenFiles, 0);
}

TEST_F(TLogFileTableTest, DropsAreReportedAtMostOnceAMinuteUnlessForced) {
  auto table = MakeTable();
  FDisk->WriteError = ENOSPC;
  {
    TLogFileTable::TRef gone = table->Acquire("gone");
    gone.WriteLine("x\r\n");
  }
  TLogFileTable::TRef file = table->Acquire("f");
  file.WriteLine("x\r\n");
  EXPECT_EQ(Report(*table), (Lines{"DROPPED 1 LINES [code=28] WRITE FAILED: gone",
                                   "DROPPED 1 LINES [code=28] WRITE FAILED: f"}));
  file.WriteLine("y\r\n");
  FTicks += 59'999;
  EXPECT_EQ(Report(*table), Lines{});
  FTicks += 1;
  EXPECT_EQ(Report(*table), Lines{"DROPPED 1 LINES [code=28] WRITE FAILED: f"});
  file.WriteLine("z\r\n");
  EXPECT_EQ(Report(*table, true), Lines{"DROPPED 1 LINES [code=28] WRITE FAILED: f"});
  EXPECT_EQ(table->DroppedLines(), 4u);
}

}  // namespace

namespace {

// A pass of the main loop: the lines of each file go out together, with one write call per
// file, whole and in order, and only when the pass ends.
TEST_F(TLogFileTableTest, HeldLinesAreWrittenWithOneCallPerFileInOrder) {
  auto table = MakeTable();
  TLogFileTable::TRef first = table->Acquire("a");
  TLogFileTable::TRef second = table->Acquire("a");
  TLogFileTable::TRef other = table->Acquire("b");
  table->HoldLines();
  first.WriteLine("1\r\n");
  other.WriteLine("x\r\n");
  second.WriteLine("2\r\n");
  first.WriteLine("3\r\n");
  EXPECT_EQ(FDisk->Writes, 0);
  EXPECT_EQ(FDisk->Content("a"), "");
  table->WriteHeld();
  EXPECT_EQ(FDisk->Writes, 2);
  EXPECT_EQ(FDisk->Content("a"), "1\r\n2\r\n3\r\n");
  EXPECT_EQ(FDisk->Content("b"), "x\r\n");
  // After the pass every line is written at once again.
  first.WriteLine("4\r\n");
  EXPECT_EQ(FDisk->Writes, 3);
  EXPECT_EQ(FDisk->Content("a"), "1\r\n2\r\n3\r\n4\r\n");
}

// A file let go of within a pass (its sender disconnected) still gets its lines, before the
// path is used again.
TEST_F(TLogFileTableTest, AFileLetGoOfWithinAPassIsWrittenFirst) {
  auto table = MakeTable();
  TLogFileTable::TRef file = table->Acquire("a");
  table->HoldLines();
  file.WriteLine("1\r\n");
  file.Reset();
  EXPECT_EQ(FDisk->Content("a"), "1\r\n");
  EXPECT_EQ(table->FileCount(), 0u);
  TLogFileTable::TRef again = table->Acquire("a");
  again.WriteLine("2\r\n");
  table->WriteHeld();
  EXPECT_EQ(FDisk->Content("a"), "1\r\n2\r\n");
}

// A full disk in the middle of a pass: the lines before the cut are whole, the cut line is
// completed once there is room, and the whole lines after it are counted as dropped, as single
// lines after a torn one are.
TEST_F(TLogFileTableTest, AHeldWriteCutShortKeepsOnlyTheCutLineAndCountsTheRest) {
  auto table = MakeTable();
  TLogFileTable::TRef file = table->Acquire("full");
  FDisk->SpaceLeft = 10;
  table->HoldLines();
  for (const char* line : {"first\r\n", "second\r\n", "third\r\n", "fourth\r\n"}) {
    file.WriteLine(line);
  }
  table->WriteHeld();
  EXPECT_EQ(FDisk->Content("full"), "first\r\nsec");
  FDisk->SpaceLeft = TFakeLogFileSystem::Unlimited;
  file.WriteLine("fifth\r\n");
  EXPECT_EQ(FDisk->Content("full"), "first\r\nsecond\r\nfifth\r\n");
  EXPECT_EQ(Report(*table), Lines{"DROPPED 2 LINES [code=28] WRITE FAILED: full"});
}

// A cut that falls on a line end tears no line: the unwritten whole lines are counted.
TEST_F(TLogFileTableTest, AHeldWriteCutOnALineEndTearsNothing) {
  auto table = MakeTable();
  TLogFileTable::TRef file = table->Acquire("full");
  FDisk->SpaceLeft = 7;
  table->HoldLines();
  file.WriteLine("first\r\n");
  file.WriteLine("second\r\n");
  file.WriteLine("third\r\n");
  table->WriteHeld();
  FDisk->SpaceLeft = TFakeLogFileSystem::Unlimited;
  file.WriteLine("fourth\r\n");
  EXPECT_EQ(FDisk->Content("full"), "first\r\nfourth\r\n");
  EXPECT_EQ(Report(*table), Lines{"DROPPED 2 LINES [code=28] WRITE FAILED: full"});
}

// A file that cannot be opened loses every held line, and each is counted.
TEST_F(TLogFileTableTest, HeldLinesOfAFileThatCannotOpenAreEachCounted) {
  auto table = MakeTable();
  FDisk->OpenError = EACCES;
  TLogFileTable::TRef file = table->Acquire("ro");
  table->HoldLines();
  file.WriteLine("1\r\n");
  file.WriteLine("2\r\n");
  file.WriteLine("3\r\n");
  table->WriteHeld();
  EXPECT_EQ(table->DroppedLines(), 3u);
  EXPECT_EQ(Report(*table), Lines{"DROPPED 3 LINES [code=13] OPEN FAILED: ro"});
}

}  // namespace

// The buffers of held lines kept between passes stay within the table's bounds, however many
// files a pass touches, and each file still gets its lines whole and in order, pass after pass.
// Letting go of the files gives back what they kept.
TEST_F(TLogFileTableTest, HeldBuffersKeptBetweenPassesStayWithinTheBounds) {
  struct TCase {
    std::size_t Files;
    std::size_t LinesPerFile;
    bool SomeKept;
  };
  // 400 files of about 4 KiB each per pass would keep far more than the budget; one file of
  // about 100 KiB is a burst above the per-file bound; ten small files are kept whole.
  const TCase cases[] = {{400, 40, true}, {1, 1000, false}, {10, 20, true}};
  const std::string text(98, 'r');
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.Files << " files, " << c.LinesPerFile << " lines");
    FDisk = std::make_shared<TFakeLogFileSystem>();
    auto table = MakeTable();
    std::vector<TLogFileTable::TRef> files;
    for (std::size_t f = 0; f < c.Files; ++f) {
      files.push_back(table->Acquire("f" + std::to_string(f)));
    }
    std::vector<std::string> expected(c.Files);
    for (int pass = 0; pass < 2; ++pass) {
      table->HoldLines();
      for (std::size_t l = 0; l < c.LinesPerFile; ++l) {
        for (std::size_t f = 0; f < c.Files; ++f) {
          const std::string line = std::to_string(pass) + ":" + std::to_string(l) + text + "\r\n";
          files[f].WriteLine(line);
          expected[f] += line;
        }
      }
      table->WriteHeld();
      EXPECT_LE(table->KeptHeldBytes(), TLogFileTable::KeptHeldBudget);
      EXPECT_EQ(table->KeptHeldBytes() > 0, c.SomeKept);
    }
    for (std::size_t f = 0; f < c.Files; ++f) {
      EXPECT_EQ(FDisk->Content("f" + std::to_string(f)), expected[f]);
    }
    EXPECT_EQ(FDisk->Writes, static_cast<int>(2 * c.Files));
    files.clear();
    EXPECT_EQ(table->KeptHeldBytes(), 0u);
  }
}

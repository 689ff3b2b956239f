#include "logging/tLogProducerHolder.h"

#include <gtest/gtest.h>

#include "tests/logging/tLogProducerHolderFixture.h"

// Paths on Windows: names found without regard to case, "*" and "|" not allowed in them.

namespace {

// Windows finds file names without regard to case: another connection's stream whose fields differ
// only in case appends to the same file, beside the first one.
TEST_F(tLogProducerHolderTest, FileEntriesMatchWithoutCase) {
  auto holder = MakeHolder("");
  holder->RouteRecord("10.0.0.5", "1000", "App", "Mod", "p", "one", 0);
  holder->RouteRecord("10.0.0.5", "1000", "APP", "mod", "P", "two", 0);
  EXPECT_EQ(holder->FileProducerCount(), 1u);
  holder->RouteRecord("10.0.0.5", "1001", "app", "MOD", "p", "three", 0);
  EXPECT_EQ(holder->FileProducerCount(), 2u);
  holder.reset();
  EXPECT_EQ(LogFile("10.0.0.5/App/Mod", "p_14.log"), "one\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(FilesInTree(), 1u);
}

// The same routing as on POSIX; "*" and "|" become "_" in the names of the tree.
TEST_F(tLogProducerHolderTest, PassesSeeFileEntriesByTheirExactKey) {
  auto holder = MakeHolder("");
  holder->RouteRecord("*a", "1", "b|c", "d", "e", "first", 0);  // key **a:1=b|c|d|e
  holder->RouteRecord("**a", "1=b", "c", "d", "e", "second", 0);
  holder->RouteRecord("**A", "1=b", "c", "d", "e", "third", 0);  // exact only: a new stream
  EXPECT_EQ(holder->FileProducerCount(), 2u);
  holder.reset();
  EXPECT_EQ(LogFile("_a/b_c/d", "e_14.log"), "first\r\nsecond\r\n");
  EXPECT_EQ(LogFile("__A/c/d", "e_14.log"), "third\r\n");
}

}  // namespace

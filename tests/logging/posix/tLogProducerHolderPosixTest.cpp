#include "logging/tLogProducerHolder.h"

#include <gtest/gtest.h>

#include "tests/logging/tLogProducerHolderFixture.h"

// Paths on a file system whose names keep their case and take '|' and '*'.

namespace {

TEST_F(tLogProducerHolderTest, FileEntriesMatchWithoutCase) {
  auto holder = MakeHolder("");
  holder->RouteRecord("10.0.0.5", "1000", "App", "Mod", "p", "one", 0);
  holder->RouteRecord("10.0.0.5", "1000", "APP", "mod", "P", "two", 0);
  EXPECT_EQ(holder->FileProducerCount(), 1u);
  // Another connection from the same host writes to the same file.
  holder->RouteRecord("10.0.0.5", "1001", "app", "MOD", "p", "three", 0);
  EXPECT_EQ(holder->FileProducerCount(), 2u);
  holder.reset();
  EXPECT_EQ(LogFile("10.0.0.5/App/Mod", "p_14.log"), "one\r\ntwo\r\n");
  EXPECT_EQ(LogFile("10.0.0.5/app/MOD", "p_14.log"), "three\r\n");
}

// The first three passes compare with every entry's key, file entries included: an address that
// begins with "*" can build a K1 equal to a file entry's key.
TEST_F(tLogProducerHolderTest, PassesSeeFileEntriesByTheirExactKey) {
  auto holder = MakeHolder("");
  holder->RouteRecord("*a", "1", "b|c", "d", "e", "first", 0);  // key **a:1=b|c|d|e
  holder->RouteRecord("**a", "1=b", "c", "d", "e", "second", 0);
  holder->RouteRecord("**A", "1=b", "c", "d", "e", "third", 0);  // exact only: a new stream
  EXPECT_EQ(holder->FileProducerCount(), 2u);
  holder.reset();
  EXPECT_EQ(LogFile("*a/b|c/d", "e_14.log"), "first\r\nsecond\r\n");
  EXPECT_EQ(LogFile("**A/c/d", "e_14.log"), "third\r\n");
}

}  // namespace

#include "tools/TSyslogDatagramBatch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Text(const TDatagramToSend& datagram) {
  return std::string(static_cast<const char*>(datagram.Data), datagram.Size);
}

// The layout, padded to the text size, and longer when tag and number need more room.
TEST(SyslogDatagramBatchTest, ADatagramHasTheLoadLayout) {
  struct Case {
    const char* tag;
    int size;
    long sequence;
    const char* expected;
  };
  const Case cases[] = {
      {"KL1", 16, 7, "<13>KL1 s0 r7 xxxxxx\n"},
      {"KL1", 16, 123456, "<13>KL1 s0 r123456 x\n"},
      {"KL1", 16, 1234567, "<13>KL1 s0 r1234567 \n"},
      {"KL1", 16, 123456789, "<13>KL1 s0 r123456789 \n"},
      {"KL1", 0, 0, "<13>KL1 s0 r0 \n"},
      {"", 10, 42, "<13> s0 r42 xx\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(TSyslogDatagramBatch::Datagram(c.tag, c.size, c.sequence), c.expected);
  }
}

// A batch is the single datagrams in a row, also across a change in the number of digits, and
// a later batch in the same buffer is whole too.
TEST(SyslogDatagramBatchTest, ABatchHoldsConsecutiveDatagramsEachWhole) {
  TSyslogDatagramBatch batch("KL9", 40, 8);
  EXPECT_EQ(batch.Capacity(), 8);
  for (const long first : {0L, 95L, 9'999'996L, 3L}) {
    SCOPED_TRACE(first);
    const TDatagramToSend* list = batch.Build(first, 8);
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(Text(list[i]), TSyslogDatagramBatch::Datagram("KL9", 40, first + i));
      EXPECT_EQ(list[i].Size, 4u + 40u + 1u);
    }
  }
}

// More than the capacity is never built; the list holds what fits.
TEST(SyslogDatagramBatchTest, ABuildIsBoundByTheCapacity) {
  TSyslogDatagramBatch batch("T", 20, 2);
  const TDatagramToSend* list = batch.Build(5, 10);
  EXPECT_EQ(Text(list[0]), TSyslogDatagramBatch::Datagram("T", 20, 5));
  EXPECT_EQ(Text(list[1]), TSyslogDatagramBatch::Datagram("T", 20, 6));
}

}  // namespace

#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/uSocket.h"

// The load tool's syslog datagrams, built a batch at a time into one buffer that is reused, so a
// datagram costs no allocation. Datagram number sequence of a run tagged tag is
//   "<13>" tag " s0 r" sequence " " and 'x' up to size bytes of text, then "\n"
// (the text is longer than size when tag and sequence need more), e.g. tag "KL1", size 16:
//   "<13>KL1 s0 r7 xxxxxx\n".
class TSyslogDatagramBatch {
 public:
  // Room for capacity datagrams (at least 1) of the given text size.
  TSyslogDatagramBatch(std::string tag, int size, int capacity);

  // Builds datagrams first to first + count - 1 (count at most Capacity()) and returns the list
  // for SendDatagrams; valid until the next Build.
  const TDatagramToSend* Build(long first, int count);
  int Capacity() const { return FCapacity; }

  // The bytes of one datagram, as Build makes them.
  static std::string Datagram(const std::string& tag, int size, long sequence);

 private:
  const std::string FHead;  // "<13>" tag " s0 r"
  const int FSize;
  const int FCapacity;
  std::size_t FSlot = 0;  // bytes per datagram in FBytes: the longest a sequence can make
  std::vector<char> FBytes;
  std::vector<TDatagramToSend> FList;
};

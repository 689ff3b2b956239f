#include "tools/TSyslogDatagramBatch.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

namespace {

// Digits of the longest sequence number.
constexpr std::size_t MaxDigits = std::numeric_limits<long>::digits10 + 2;

// Writes the datagram at out and returns its length; out has room for the longest one.
std::size_t WriteDatagram(char* out, const std::string& head, int size, long sequence) {
  char* end = out;
  std::memcpy(end, head.data(), head.size());
  end += head.size();
  end = std::to_chars(end, end + MaxDigits, sequence).ptr;
  *end++ = ' ';
  // The text is everything after "<13>"; it is padded to size bytes.
  const std::size_t text = static_cast<std::size_t>(end - out) - 4;
  if (text < static_cast<std::size_t>(size)) {
    const std::size_t padding = static_cast<std::size_t>(size) - text;
    std::memset(end, 'x', padding);
    end += padding;
  }
  *end++ = '\n';
  return static_cast<std::size_t>(end - out);
}

}  // namespace

TSyslogDatagramBatch::TSyslogDatagramBatch(std::string tag, int size, int capacity)
    : FHead("<13>" + tag + " s0 r"), FSize(std::max(0, size)), FCapacity(std::max(1, capacity)) {
  FSlot = 4 + static_cast<std::size_t>(FSize) + FHead.size() + MaxDigits + 2;
  FBytes.resize(FSlot * static_cast<std::size_t>(FCapacity));
  FList.resize(static_cast<std::size_t>(FCapacity));
}

const TDatagramToSend* TSyslogDatagramBatch::Build(long first, int count) {
  count = std::clamp(count, 0, FCapacity);
  for (int i = 0; i < count; ++i) {
    char* slot = FBytes.data() + static_cast<std::size_t>(i) * FSlot;
    FList[static_cast<std::size_t>(i)] =
        TDatagramToSend{slot, WriteDatagram(slot, FHead, FSize, first + i)};
  }
  return FList.data();
}

std::string TSyslogDatagramBatch::Datagram(const std::string& tag, int size, long sequence) {
  TSyslogDatagramBatch one(tag, size, 1);
  const TDatagramToSend& datagram = one.Build(sequence, 1)[0];
  return std::string(static_cast<const char*>(datagram.Data), datagram.Size);
}

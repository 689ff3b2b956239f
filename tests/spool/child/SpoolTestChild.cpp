// Writes records into a spool until it is killed, for the crash tests: after each Add returns it
// prints "added <sequence>", and every 50 records it confirms all it took and prints
// "confirming <n>" before it confirms the records below n (the kill may come before, during or
// after that). The directory must be new, so record n has
// sequence n.
//   SpoolTestChild <directory>
#include <cstdio>
#include <string>
#include <vector>

#include "spool/TSpool.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: SpoolTestChild <directory>\n");
    return 2;
  }
  TSpoolOptions options;
  options.Directory = argv[1];
  options.SegmentBytes = 4096;
  options.MemoryLimitBytes = 2048;
  TSpool spool(options);
  std::vector<TSpoolRecord> taken;
  for (std::uint64_t sequence = 0;; ++sequence) {
    if (!spool.Add("record-" + std::to_string(sequence))) {
      return 1;
    }
    std::printf("added %llu\n", static_cast<unsigned long long>(sequence));
    std::fflush(stdout);
    if (sequence % 50 == 49) {
      taken.clear();
      spool.Take(taken, 1000);
      if (!taken.empty()) {
        std::printf("confirming %llu\n",
                    static_cast<unsigned long long>(taken.back().Sequence + 1));
        std::fflush(stdout);
      }
      for (const auto& record : taken) {
        spool.Acknowledge(record.Sequence);
      }
    }
  }
}

#pragma once

// What the client and command-line tests share: the lines a stream's files hold.

#include <string>
#include <vector>

#include "tests/server/uServerUnderTest.h"

namespace e2e {

// The lines of every log file below root (in file order), CR LF removed; an unfinished last
// line is left out.
inline std::vector<std::string> LinesBelow(const std::string& root) {
  const std::string all = ReadLogTree(root);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(all.substr(start, end - start));
  }
  return lines;
}

// Waits until at least count lines are below root; the lines.
inline std::vector<std::string> WaitForLines(const std::string& root, std::size_t count,
                                             Clock::duration patience = Patience) {
  std::vector<std::string> lines;
  WaitUntil(
      [&] {
        lines = LinesBelow(root);
        return lines.size() >= count;
      },
      patience);
  return lines;
}

}  // namespace e2e

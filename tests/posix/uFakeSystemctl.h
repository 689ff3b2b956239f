#pragma once

// A recording stand-in for systemctl, for the service tests (KELVRA_SYSTEMCTL).

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/uTestDirectory.h"

// Writes an executable shell script into the directory that appends its arguments, one call per
// line, to "systemctl.log" there, then runs extraLines, then exits 1 when its first argument is
// failVerb, 0 otherwise. Returns the script's path.
inline std::string WriteFakeSystemctl(const TTestDirectory& directory,
                                      const std::string& failVerb = "",
                                      const std::string& extraLines = "") {
  const std::string path = directory.File("systemctl");
  WriteTextFile(path,
                "#!/bin/sh\n"
                "printf '%s\\n' \"$*\" >> '" +
                    directory.File("systemctl.log") + "'\n" + extraLines + "[ \"$1\" = '" +
                    failVerb +
                    "' ] && exit 1\n"
                    "exit 0\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add);
  return path;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

// The calls the fake systemctl recorded, one per line.
inline std::vector<std::string> RecordedSystemctlCalls(const TTestDirectory& directory) {
  return SplitLines(ReadTextFile(directory.File("systemctl.log")));
}

#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace natstest {

// Every file below root, by its path relative to root, with its bytes.
inline std::map<std::string, std::string> ReadTree(const std::string& root) {
  std::map<std::string, std::string> files;
  if (!std::filesystem::exists(root)) {
    return files;
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[std::filesystem::relative(entry.path(), root).generic_string()] =
          std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return files;
}

}  // namespace natstest

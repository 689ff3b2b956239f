#include "platform/uProcess.h"

std::string ExtractFileDir(const std::string& path) {
  const auto cut = path.find_last_of(PathDelimiter);
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string ExtractFileName(const std::string& path) {
  const auto cut = path.find_last_of(PathDelimiter);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

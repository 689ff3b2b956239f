#include "server/uRecordDecoder.h"

std::string SyslogText(const std::uint8_t* data, std::uint32_t size) {
  std::uint32_t length = size;
  while (length > 0 && data[length - 1] <= 32) {
    --length;
  }
  if (length == 0) {
    return {};
  }
  return std::string(reinterpret_cast<const char*>(data), length);
}

#include "server/uRecordDecoder.h"

std::string_view SyslogText(const std::uint8_t* data, std::uint32_t size) {
  std::uint32_t length = size;
  while (length > 0 && data[length - 1] <= 32) {
    --length;
  }
  if (length == 0) {
    return {};
  }
  return std::string_view(reinterpret_cast<const char*>(data), length);
}

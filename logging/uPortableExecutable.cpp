#include "logging/uPortableExecutable.h"

#include <fstream>

namespace {

constexpr std::size_t HeaderOffsetField = 0x3C;
// Real linkers put the header within the first kilobytes; more is not a plausible image.
constexpr std::uint32_t MaxHeaderOffset = 1u << 16;

std::uint32_t Little(std::string_view bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = size; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

}  // namespace

std::uint16_t PortableExecutableMachine(std::string_view image) {
  if (image.size() < HeaderOffsetField + 4 || image.substr(0, 2) != "MZ") {
    return 0;
  }
  const std::uint32_t header = Little(image, HeaderOffsetField, 4);
  if (header > MaxHeaderOffset || image.size() < std::size_t{header} + 6) {
    return 0;
  }
  if (image.substr(header, 4) != std::string_view("PE\0\0", 4)) {
    return 0;
  }
  return static_cast<std::uint16_t>(Little(image, header + 4, 2));
}

std::uint16_t PortableExecutableMachineOfFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return 0;
  }
  std::string image(HeaderOffsetField + 4, '\0');
  if (!file.read(image.data(), static_cast<std::streamsize>(image.size()))) {
    return 0;
  }
  const std::uint32_t header = Little(image, HeaderOffsetField, 4);
  if (header > MaxHeaderOffset) {
    return 0;
  }
  // Up to the machine field, wherever the header lies.
  const std::size_t wanted = std::size_t{header} + 6;
  if (wanted > image.size()) {
    const std::size_t had = image.size();
    image.resize(wanted);
    if (!file.read(image.data() + had, static_cast<std::streamsize>(wanted - had))) {
      return 0;
    }
  }
  return PortableExecutableMachine(image);
}

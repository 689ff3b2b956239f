#include "logging/uPortableExecutable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/uTestDirectory.h"

namespace {

// A synthetic image: "MZ", the header offset at 0x3C, the signature and machine there.
std::string Image(std::uint32_t headerOffset, std::uint16_t machine, const char* signature,
                  std::size_t size) {
  std::string image(size, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  for (int i = 0; i < 4 && 0x3C + i < static_cast<int>(size); ++i) {
    image[0x3C + i] = static_cast<char>((headerOffset >> (8 * i)) & 0xFF);
  }
  for (std::size_t i = 0; i < 4 && headerOffset + i < size; ++i) {
    image[headerOffset + i] = signature[i];
  }
  if (headerOffset + 5 < size) {
    image[headerOffset + 4] = static_cast<char>(machine & 0xFF);
    image[headerOffset + 5] = static_cast<char>(machine >> 8);
  }
  return image;
}

struct ImageCase {
  const char* name;
  std::string image;
  std::uint16_t machine;
};

TEST(uPortableExecutableTest, ReadsTheMachineOrNothing) {
  const ImageCase cases[] = {
      {"32-bit", Image(0x80, PortableExecutableI386, "PE\0\0", 0x200), PortableExecutableI386},
      {"64-bit", Image(0xF8, PortableExecutableAmd64, "PE\0\0", 0x200), PortableExecutableAmd64},
      {"header far on", Image(0x1000, PortableExecutableI386, "PE\0\0", 0x1010),
       PortableExecutableI386},
      {"bad signature", Image(0x80, PortableExecutableI386, "PX\0\0", 0x200), 0},
      {"header past the end", Image(0x1F0, PortableExecutableI386, "PE\0\0", 0x1F4), 0},
      {"offset beyond reason", Image(0x7FFFFFF0u, PortableExecutableI386, "PE\0\0", 0x200), 0},
      {"too short", std::string("MZ"), 0},
      {"an ELF file",
       std::string("\x7F"
                   "ELF") +
           std::string(0x100, '\0'),
       0},
  };
  TTestDirectory dir;
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PortableExecutableMachine(c.image), c.machine);
    const std::string path = dir.File("image.dll");
    WriteTextFile(path, c.image);
    EXPECT_EQ(PortableExecutableMachineOfFile(path), c.machine);
  }
  EXPECT_EQ(PortableExecutableMachineOfFile(dir.File("missing.dll")), 0);
}

}  // namespace

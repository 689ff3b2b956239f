#include "platform/uDeviceFileName.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(uDeviceFileNameTest, DeviceNamesInAnyCaseAndWithAnyExtension) {
  struct Case {
    const char* name;
    bool device;
  };
  const Case cases[] = {
      {"CON", true},      {"con", true},         {"Con", true},     {"PRN", true},
      {"AUX", true},      {"NUL", true},         {"nul.txt", true}, {"NUL.tar.gz", true},
      {"COM1", true},     {"com9", true},        {"LPT1", true},    {"lpt9.log", true},
      {"NUL .txt", true}, {"CON ", true},        {"CONIN$", true},  {"conout$", true},
      {"COM0", false},    {"COM10", false},      {"LPT", false},    {"COM", false},
      {"CONSOLE", false}, {"NULL", false},       {"_CON", false},   {" CON", false},
      {"xCON", false},    {"CO", false},         {"", false},       {".", false},
      {"..", false},      {"AUX_14.log", false}, {"COMA", false},   {"LPT1x", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsWindowsDeviceName(c.name), c.device) << '"' << c.name << '"';
  }
}

}  // namespace

// A configuration file that is a link to an endless device ends the start: reading it would
// exhaust memory.
#include <gtest/gtest.h>

#include <filesystem>

#include "server/uConfiguration.h"
#include "tests/uTestDirectory.h"

namespace {

TEST(uConfigurationPosixTest, ALinkToAnEndlessDeviceEndsTheStart) {
  TTestDirectory dir;
  const std::string path = dir.File("LogServer.conf");
  std::filesystem::create_symlink("/dev/zero", path);
  try {
    ReadConfiguration(path, dir.Dir());
    ADD_FAILURE() << "no error";
  } catch (const EConfigurationError& error) {
    EXPECT_EQ(std::string(error.what()), "Configuration file is not a regular file: " + path);
  }
}

}  // namespace

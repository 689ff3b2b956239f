// A configuration file that names a device ends the start: the names Windows reserves open the
// device in every folder, and the console's input would block the start-up.
#include <gtest/gtest.h>

#include <string>

#include "server/uConfiguration.h"
#include "tests/uTestDirectory.h"

namespace {

TEST(uConfigurationWin32Test, ADeviceEndsTheStart) {
  TTestDirectory dir;
  for (const std::string& device :
       {dir.File("NUL"), std::string("\\\\.\\NUL"), std::string("CONIN$")}) {
    SCOPED_TRACE(device);
    try {
      ReadConfiguration(device, dir.Dir());
      ADD_FAILURE() << "no error";
    } catch (const EConfigurationError& error) {
      EXPECT_EQ(std::string(error.what()), "Configuration file is not a regular file: " + device);
    }
  }
}

}  // namespace

// The providers section is never read from a device: the names Windows reserves open the device
// in every folder, and the console's input would block the reader.
#include <gtest/gtest.h>

#include <string>

#include "logging/uProvidersSection.h"
#include "tests/uTestDirectory.h"

namespace {

TEST(uProvidersSectionWin32Test, ADeviceGivesNoEntries) {
  TTestDirectory dir;
  for (const std::string& device :
       {dir.File("NUL"), std::string("\\\\.\\NUL"), std::string("CONIN$")}) {
    SCOPED_TRACE(device);
    EXPECT_TRUE(ReadProvidersSection(device).empty());
  }
}

}  // namespace

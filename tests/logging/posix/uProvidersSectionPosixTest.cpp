// The providers section is never read from a device: a link to /dev/zero would never end.
#include <gtest/gtest.h>

#include <filesystem>

#include "logging/uProvidersSection.h"
#include "tests/uTestDirectory.h"

namespace {

TEST(uProvidersSectionPosixTest, ALinkToAnEndlessDeviceGivesNoEntries) {
  TTestDirectory dir;
  const std::string link = dir.File("zero.conf");
  std::filesystem::create_symlink("/dev/zero", link);
  EXPECT_TRUE(ReadProvidersSection(link).empty());
}

}  // namespace

// The private-profile writer on POSIX: file modes, symbolic links and errno codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "platform/uPrivateProfile.h"
#include "tests/uTestDirectory.h"

namespace {

TEST(uPrivateProfilePosixTest, WriteKeepsTheFileModeAndWritesThroughSymbolicLinks) {
  TTestDirectory dir;
  const std::string target = dir.File("target.conf");
  const std::string link = dir.File("link.conf");
  WriteTextFile(target, "[Common]\nA=1\n");
  std::filesystem::permissions(target, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
  std::filesystem::create_symlink(target, link);
  ASSERT_TRUE(WriteProfileString(link, "Common", "A", "2"));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadTextFile(target), "[Common]\nA=2\n");
  EXPECT_EQ(std::filesystem::status(target).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
}

TEST(uPrivateProfilePosixTest, WriteFailsWithTheErrorCodeKept) {
  TTestDirectory dir;
  const std::string asDirectory = dir.File("LogServer.conf");
  std::filesystem::create_directory(asDirectory);
  EXPECT_FALSE(WriteProfileString(asDirectory, "Common", "A", "1"));
  EXPECT_EQ(LastProfileError(), EISDIR);

  EXPECT_FALSE(WriteProfileString(dir.File("no/such/dir/x.conf"), "Common", "A", "1"));
  EXPECT_EQ(LastProfileError(), ENOENT);
}

}  // namespace

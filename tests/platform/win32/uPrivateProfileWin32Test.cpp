// The private-profile reader and writer on Windows: the reader held against the system's own
// GetPrivateProfileStringA, and the writer's GetLastError codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "platform/uPrivateProfile.h"
#include "tests/uTestDirectory.h"

namespace {

constexpr int ErrorPathNotFound = 3;
constexpr int ErrorAccessDenied = 5;
constexpr int ErrorInvalidParameter = 87;

struct TReadCase {
  const char* content;
  const char* section;
  const char* key;
};

// Both readers see the same file; what one finds the other must find, with the same value.
TEST(uPrivateProfileWin32Test, ReadsKeysAsTheSystemReaderDoes) {
  const TReadCase cases[] = {
      {"[Common]\r\nKey=value\r\n", "Common", "Key"},
      {"[common]\nkEY=value\n", "COMMON", "key"},
      {"[Common]\nKey=value", "Common", "Key"},
      {"  [ Common ]  \r\n  Key  =  \t spaced out \t \r\n", "Common", "Key"},
      {"[Common]\r\nKey=\"quoted  \"\r\n", "Common", "Key"},
      {"[Common]\r\nKey='single'\r\n", "Common", "Key"},
      {"[Common]\r\nKey=\r\n", "Common", "Key"},
      {"[Common]\r\nKey=\"mixed'\r\n", "Common", "Key"},
      {"[Common]\r\nKey=\"\"\"\"\r\n", "Common", "Key"},
      {"[Common]\r\nKey=\"\r\n", "Common", "Key"},
      {"[Common]\r\nKey\r\n", "Common", "Key"},
      {"[Common]\r\nA=1\r\n[Common]\r\nKey=second section\r\n", "Common", "Key"},
      {"[Common]\r\nKey=a=b\r\n", "Common", "Key"},
      {"[Common]\r\nKey=first\r\nKey=second\r\n", "Common", "Key"},
      {"[Common]\r\nA=1\r\n[Other]\r\nKey=elsewhere\r\n", "Common", "Key"},
      {"Key=before any section\r\n[Common]\r\n", "Common", "Key"},
      {"[Common]\r\n;Key=commented\r\n", "Common", "Key"},
      {"[Common]\r\nKeys=value\r\n", "Common", "Key"},
      {"[Common]\r\nServicePort=0x1F4\r\nRunMode=2\r\n", "Common", "RunMode"},
      {"[Common]\r\nBaseCatalog=C:\\srv\\Logs\\\r\n", "Common", "BaseCatalog"},
      {"; comment\r\n\r\n[Providers]\r\n10.0.0.5|A|B|C=x.dll\r\n\r\n[Common]\r\nLogMode=2\r\n",
       "Common", "LogMode"},
      {"", "Common", "Key"},
  };
  TTestDirectory dir;
  const std::string path = dir.File("test.conf");
  for (const TReadCase& c : cases) {
    SCOPED_TRACE(c.content);
    WriteTextFile(path, c.content);
    std::string ours = "(missing)";
    std::string system = "(missing)";
    const bool foundByUs = ReadProfileString(path, c.section, c.key, ours);
    const bool foundBySystem = ReadPlatformProfileString(path, c.section, c.key, system);
    EXPECT_EQ(foundByUs, foundBySystem);
    EXPECT_EQ(ours, system);
  }
}

TEST(uPrivateProfileWin32Test, LongValuesAreCutLikeTheSystemReaderCutsThem) {
  TTestDirectory dir;
  const std::string path = dir.File("test.conf");
  WriteTextFile(path, "[S]\r\nLong=" + std::string(MaxProfileValueLength + 10, 'a') + "\r\n");
  std::string ours;
  std::string system;
  ASSERT_TRUE(ReadProfileString(path, "S", "Long", ours));
  ASSERT_TRUE(ReadPlatformProfileString(path, "S", "Long", system));
  EXPECT_EQ(ours.size(), MaxProfileValueLength);
  EXPECT_EQ(ours, system);
}

// What the system reader finds in a file that the writer changed: every key, old and new.
TEST(uPrivateProfileWin32Test, TheSystemReaderReadsWhatTheWriterWrote) {
  TTestDirectory dir;
  const std::string path = dir.File("LogServer.conf");
  WriteTextFile(path,
                "; kept\r\n[Common]\r\n  RunMode = 2 \r\n\r\n[Providers]\r\na|b|c|d=x.dll\r\n");
  ASSERT_TRUE(WriteProfileString(path, "Common", "RunMode", "1"));
  ASSERT_TRUE(WriteProfileString(path, "Common", "BaseCatalog", "C:\\srv\\Logs\\"));
  EXPECT_EQ(ReadTextFile(path),
            "; kept\r\n[Common]\r\n  RunMode =1\r\nBaseCatalog=C:\\srv\\Logs\\\r\n\r\n"
            "[Providers]\r\na|b|c|d=x.dll\r\n");
  for (const auto& [key, expected] :
       {std::pair{"RunMode", "1"}, std::pair{"BaseCatalog", "C:\\srv\\Logs\\"}}) {
    std::string value;
    ASSERT_TRUE(ReadPlatformProfileString(path, "Common", key, value)) << key;
    EXPECT_EQ(value, expected);
  }
}

TEST(uPrivateProfileWin32Test, WriteFailsWithTheLastErrorCodeKept) {
  TTestDirectory dir;
  const std::string asDirectory = dir.File("LogServer.conf");
  std::filesystem::create_directory(asDirectory);
  EXPECT_FALSE(WriteProfileString(asDirectory, "Common", "A", "1"));
  EXPECT_EQ(LastProfileError(), ErrorAccessDenied);

  EXPECT_FALSE(WriteProfileString(dir.File("no\\such\\dir\\x.conf"), "Common", "A", "1"));
  EXPECT_EQ(LastProfileError(), ErrorPathNotFound);

  EXPECT_FALSE(WriteProfileString(dir.File("x.conf"), "Common", "A", "1\r\n[Evil]"));
  EXPECT_EQ(LastProfileError(), ErrorInvalidParameter);
  EXPECT_EQ(ProfileInvalidArgument, ErrorInvalidParameter);
}

}  // namespace

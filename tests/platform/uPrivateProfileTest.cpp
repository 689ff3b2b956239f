#include "platform/uPrivateProfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "tests/uTestDirectory.h"

namespace {

struct ReadCase {
  const char* content;
  const char* section;
  const char* key;
  bool found;
  const char* value;
};

TEST(uPrivateProfileTest, ReadsValuesByTheProfileConventions) {
  const ReadCase cases[] = {
      {"[Common]\nKey=value\n", "Common", "Key", true, "value"},
      {"[common]\nkEY=value\n", "COMMON", "key", true, "value"},
      {"[Common]\r\nKey=value\r\nOther=x\r\n", "Common", "Key", true, "value"},
      {"[Common]\nKey=value", "Common", "Key", true, "value"},
      {"  [ Common ]  \n  Key  =  \t spaced out \t \n", "Common", "Key", true, "spaced out"},
      {"[Common]\nKey=\"quoted  \"\n", "Common", "Key", true, "quoted  "},
      {"[Common]\nKey='single'\n", "Common", "Key", true, "single"},
      {"[Common]\nKey=\"mixed'\n", "Common", "Key", true, "\"mixed'"},
      {"[Common]\nKey=\"\"\"\"\n", "Common", "Key", true, "\"\""},
      {"[Common]\nKey=\"\n", "Common", "Key", true, "\""},
      {"[Common]\nKey=\n", "Common", "Key", true, ""},
      {"[Common]\nKey=a=b\n", "Common", "Key", true, "a=b"},
      {"[Common]\nKey=first\nKey=second\n", "Common", "Key", true, "first"},
      {"[Common]\nA=1\n[Other]\nKey=elsewhere\n", "Common", "Key", false, ""},
      {"[Common]\nA=1\n[Common]\nKey=second section\n", "Common", "Key", false, ""},
      {"Key=before any section\n[Common]\n", "Common", "Key", false, ""},
      {"[Common]\n;Key=commented\n", "Common", "Key", false, ""},
      {"[Common]\nKey\n", "Common", "Key", false, ""},
      {"[Common]\nKeys=value\n", "Common", "Key", false, ""},
      {"", "Common", "Key", false, ""},
  };
  TTestDirectory dir;
  const std::string path = dir.File("test.conf");
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.content);
    WriteTextFile(path, c.content);
    std::string value = "untouched";
    EXPECT_EQ(ReadProfileString(path, c.section, c.key, value), c.found);
    EXPECT_EQ(value, c.found ? c.value : "untouched");
  }
}

TEST(uPrivateProfileTest, CutsLongValuesTo2047Characters) {
  TTestDirectory dir;
  const std::string path = dir.File("test.conf");
  const std::string exact(MaxProfileValueLength, 'a');
  WriteTextFile(path, "[S]\nExact=" + exact + "\nLong=\"" + exact + "bc\"\n");
  std::string value;
  ASSERT_TRUE(ReadProfileString(path, "S", "Exact", value));
  EXPECT_EQ(value, exact);
  ASSERT_TRUE(ReadProfileString(path, "S", "Long", value));
  EXPECT_EQ(value, exact);
}

TEST(uPrivateProfileTest, MissingFileReadsNothing) {
  TTestDirectory dir;
  std::string value;
  EXPECT_FALSE(ReadProfileString(dir.File("missing.conf"), "S", "K", value));
  EXPECT_FALSE(ReadProfileString(dir.Dir(), "S", "K", value));
}

struct WriteCase {
  const char* before;
  const char* key;
  const char* value;
  const char* after;
};

TEST(uPrivateProfileTest, WritesChangeOnlyTheLineConcerned) {
  const WriteCase cases[] = {
      // Replacement in place: the key's spelling and everything up to '=' stay.
      {"; top\n[Common]\n  port = 1 \nX=2\n", "PORT", "5", "; top\n[Common]\n  port =5\nX=2\n"},
      {"[Common]\r\nA=1\r\n\r\n[Providers]\r\nk|a|b|c=x.so\r\n", "A", "9",
       "[Common]\r\nA=9\r\n\r\n[Providers]\r\nk|a|b|c=x.so\r\n"},
      {"[Common]\nA=1\nA=2\n", "A", "3", "[Common]\nA=3\nA=2\n"},
      {"[Common]\nA=1", "A", "22", "[Common]\nA=22"},
      // Appended after the section's last entry, before blank lines and the next section.
      {"[Common]\nA=1\n\n; next\n[Other]\nB=2\n", "New", "v",
       "[Common]\nA=1\nNew=v\n\n; next\n[Other]\nB=2\n"},
      {"[Common]\r\n\r\n[Other]\r\n", "New", "v", "[Common]\r\nNew=v\r\n\r\n[Other]\r\n"},
      {"[Common]\nA=1", "New", "v", "[Common]\nA=1\nNew=v\n"},
      {"[Other]\nB=2\n[Common]\nA=1\n", "New", "", "[Other]\nB=2\n[Common]\nA=1\nNew=\n"},
      // A missing section goes to the end of the file, set apart by a blank line.
      {"[Other]\r\nB=2\r\n", "New", "v", "[Other]\r\nB=2\r\n\r\n[Common]\r\nNew=v\r\n"},
      {"[Other]\nB=2", "New", "v", "[Other]\nB=2\n\n[Common]\nNew=v\n"},
      {"[Other]\nB=2\n\n", "New", "v", "[Other]\nB=2\n\n[Common]\nNew=v\n"},
      {"", "New", "v", "[Common]\nNew=v\n"},
  };
  TTestDirectory dir;
  const std::string path = dir.File("test.conf");
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.before);
    WriteTextFile(path, c.before);
    ASSERT_TRUE(WriteProfileString(path, "Common", c.key, c.value));
    EXPECT_EQ(ReadTextFile(path), c.after);
  }
}

TEST(uPrivateProfileTest, WriteCreatesTheFileAndReadsBack) {
  TTestDirectory dir;
  const std::string path = dir.File("new.conf");
  ASSERT_TRUE(WriteProfileString(path, "Common", "A", "1"));
  ASSERT_TRUE(WriteProfileString(path, "common", "B", "two words"));
  ASSERT_TRUE(WriteProfileString(path, "Common", "a", "3"));
  EXPECT_EQ(ReadTextFile(path), "[Common]\nA=3\nB=two words\n");
  std::string value;
  ASSERT_TRUE(ReadProfileString(path, "COMMON", "b", value));
  EXPECT_EQ(value, "two words");
  // No temporary copy is left beside the file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Dir()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(uPrivateProfileTest, WriteRefusesLineBreaksThatWouldAddLines) {
  TTestDirectory dir;
  const std::string path = dir.File("test.conf");
  WriteTextFile(path, "[Common]\nA=1\n");
  for (const auto& [section, key, value] :
       {std::tuple{"Common", "A", "1\n[Evil]"}, std::tuple{"Common", "A\r", "1"},
        std::tuple{"Com\nmon", "A", "1"}, std::tuple{"Common", "A=B", "1"},
        std::tuple{"Co]mmon", "A", "1"}, std::tuple{"Common", "", "1"}}) {
    EXPECT_FALSE(WriteProfileString(path, section, key, value));
    EXPECT_EQ(LastProfileError(), ProfileInvalidArgument);
  }
  EXPECT_EQ(ReadTextFile(path), "[Common]\nA=1\n");
}

}  // namespace

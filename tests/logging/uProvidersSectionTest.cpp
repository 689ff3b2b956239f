#include "logging/uProvidersSection.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/uPrivateProfile.h"
#include "tests/uTestDirectory.h"

namespace {

struct SplitCase {
  const char* key;
  bool valid;
  TProviderKeyFields fields;
};

TEST(uProvidersSectionTest, SplitsKeysIntoFourFields) {
  const SplitCase cases[] = {
      {"10.1.2.3|Billing|Core|Core", true, {"10.1.2.3", "0", "Billing", "Core", "Core"}},
      {"10.0.0.5:514|SYSLOG|syslog|", true, {"10.0.0.5", "514", "SYSLOG", "syslog", ""}},
      {"10.1.2.3:4000|A|B|C", true, {"10.1.2.3", "4000", "A", "B", "C"}},
      {"a||c|d", true, {"a", "0", "", "c", "d"}},
      {"|||", true, {"", "0", "", "", ""}},
      {"10.1.2.3|\"My App\"|Core|", true, {"10.1.2.3", "0", "My App", "Core", ""}},
      {"\"h|x\"|\"say \"\"hi\"\"\"|\"\"|p", true, {"h|x", "0", "say \"hi\"", "", "p"}},
      {" \t10.1.2.3 | A |\tB | C", true, {"10.1.2.3", "0", "A", "B", "C"}},
      {"h:1:2|a|b|c", true, {"h", "1:2", "a", "b", "c"}},
      {"h:|a|b|c", true, {"h", "", "a", "b", "c"}},
      {"h|a|b|\"open", true, {"h", "0", "a", "b", "open"}},
      {"h|a|b|c\x01", true, {"h", "0", "a", "b", "c"}},
      {"10.1.2.3|My App|Core|", false, {}},
      {"10.0.0.5|My App|m|p", false, {}},
      {"a|b|c", false, {}},
      {"a|b|c|d|e", false, {}},
      {"a|b|c|d|", false, {}},
      {"\"x\"y|b|c|d", false, {}},
      {"", false, {}},
      {"   ", false, {}},
      {"|", false, {}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.key);
    const auto fields = SplitProviderKey(c.key);
    ASSERT_EQ(fields.has_value(), c.valid);
    if (fields) {
      EXPECT_EQ(fields->Host, c.fields.Host);
      EXPECT_EQ(fields->Port, c.fields.Port);
      EXPECT_EQ(fields->ApplicationName, c.fields.ApplicationName);
      EXPECT_EQ(fields->ModuleName, c.fields.ModuleName);
      EXPECT_EQ(fields->FilePrefix, c.fields.FilePrefix);
    }
  }
}

TEST(uProvidersSectionTest, ReadsTheSectionInFileOrder) {
  TTestDirectory dir;
  const std::string path = dir.File("LogServer.conf");
  WriteTextFile(path,
                "stray|a|b|c=before.so\r\n"
                "[Common]\r\n"
                "ServicePort=30000\r\n"
                "  [ providers ]  \r\n"
                "10.1.2.3|Billing|Core|Core=a.dll\r\n"
                "\r\n"
                "10.1.2.3|My App|Core|=b.dll\n"
                "\t10.1.2.3|\"My App\"|Core|  =  /opt/b 2.so \t\n"
                "; 10.1.2.3|A|B|C=d.dll\n"
                "   ;indented comment=x.so\n"
                "no equals sign\n"
                "10.1.2.3:4000|A|B|C=c.dll=more\r"
                "10.1.2.3|Billing|Core|Core=a.dll\n"
                "[Other]\n"
                "h|a|b|c=other.so\n"
                "[Providers]\n"
                "h|a|b|c=second-section.so\n");
  const std::vector<TProviderEntry> entries = ReadProvidersSection(path);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"10.1.2.3|Billing|Core|Core", "a.dll"},      {"10.1.2.3|My App|Core|", "b.dll"},
      {"10.1.2.3|\"My App\"|Core|", "/opt/b 2.so"}, {"", ""},
      {"10.1.2.3:4000|A|B|C", "c.dll=more"},        {"10.1.2.3|Billing|Core|Core", "a.dll"},
  };
  ASSERT_EQ(entries.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(entries[i].Key, expected[i].first) << i;
    EXPECT_EQ(entries[i].LibraryPath, expected[i].second) << i;
  }
  EXPECT_TRUE(SplitProviderKey(entries[0].Key).has_value());
  EXPECT_FALSE(SplitProviderKey(entries[1].Key).has_value());
  EXPECT_EQ(SplitProviderKey(entries[2].Key)->ApplicationName, "My App");
  EXPECT_FALSE(SplitProviderKey(entries[3].Key).has_value());
  EXPECT_EQ(SplitProviderKey(entries[4].Key)->Port, "4000");
}

TEST(uProvidersSectionTest, MissingFileOrSectionGivesNoEntries) {
  TTestDirectory dir;
  EXPECT_TRUE(ReadProvidersSection(dir.File("missing.conf")).empty());
  EXPECT_TRUE(ReadProvidersSection(dir.Dir()).empty());
  const std::string path = dir.File("LogServer.conf");
  WriteTextFile(path, "[Common]\nh|a|b|c=x.so\n[Providers\nh|a|b|c=y.so\n");
  EXPECT_TRUE(ReadProvidersSection(path).empty());
}

TEST(uProvidersSectionTest, AByteOrderMarkIsReadAsIfItWereNotThere) {
  TTestDirectory dir;
  const std::string path = dir.File("LogServer.conf");
  for (const std::string& content : {std::string("\xEF\xBB\xBF[Providers]\nh|a|b|c=x.so\n"),
                                     std::string("\xEF\xBB\xBF[Providers]\rh|a|b|c=x.so\r")}) {
    WriteTextFile(path, content);
    const std::vector<TProviderEntry> entries = ReadProvidersSection(path);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Key, "h|a|b|c");
    EXPECT_EQ(entries[0].LibraryPath, "x.so");
  }
}

TEST(uProvidersSectionTest, AFileBeyondTheBoundOrNotRegularGivesNoEntries) {
  TTestDirectory dir;
  const std::string path = dir.File("LogServer.conf");
  WriteTextFile(path, "[Providers]\nh|a|b|c=x.so\n");
  std::filesystem::resize_file(path, MaxProfileFileSize + 1);
  EXPECT_TRUE(ReadProvidersSection(path).empty());
  // A directory is no file to read; endless devices are in the posix/ and win32/ twins.
  const std::string folder = dir.File("folder.conf");
  std::filesystem::create_directory(folder);
  EXPECT_TRUE(ReadProvidersSection(folder).empty());
}

}  // namespace

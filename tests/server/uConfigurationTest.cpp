#include "server/uConfiguration.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "tests/uTestDirectory.h"

namespace {

struct IntegerCase {
  const char* text;
  bool valid;
  std::int32_t value;
};

TEST(uConfigurationTest, ParsesTheIntegerSyntax) {
  const IntegerCase cases[] = {
      {"0", true, 0},
      {"500", true, 500},
      {"+500", true, 500},
      {"-500", true, -500},
      {"007", true, 7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999", false, 0},
      {"0x1F4", true, 500},
      {"0X1f4", true, 500},
      {"$1F4", true, 500},
      {"x1F4", true, 500},
      {"X1F4", true, 500},
      {"-$1", true, -1},
      {"+$10", true, 16},
      {"$FFFFFFFF", true, -1},
      {"$7FFFFFFF", true, 2147483647},
      {"$80000000", true, -2147483647 - 1},
      {"-$80000000", true, -2147483647 - 1},
      {"$00000001", true, 1},
      {"$000000001", false, 0},
      {"$123456789", false, 0},
      {"", false, 0},
      {"+", false, 0},
      {"-", false, 0},
      {"$", false, 0},
      {"0x", false, 0},
      {"abc", false, 0},
      {"12a", false, 0},
      {"1 2", false, 0},
      {"$1G", false, 0},
      {"--1", false, 0},
      {"1.5", false, 0},
      {"true", false, 0},
      {"false", false, 0},
      {" 1", false, 0},
  };
  for (const IntegerCase& c : cases) {
    SCOPED_TRACE(c.text);
    std::int32_t value = 12345;
    EXPECT_EQ(ParseProfileInteger(c.text, value), c.valid);
    EXPECT_EQ(value, c.valid ? c.value : 12345);
  }
}

TEST(uConfigurationTest, PathIsBesideTheExecutable) {
  EXPECT_EQ(ConfigurationPath(NativePath("/srv/kelvra/KelvraLogServer")),
            NativePath("/srv/kelvra/LogServer.conf"));
}

class uConfigurationFileTest : public testing::Test {
 protected:
  TServerSettings Read(const std::string& content) {
    WriteTextFile(Path, content);
    return ReadConfiguration(Path, Dir.Dir());
  }
  // The value of a key as it stands in the file after the write-back.
  std::string Stored(const std::string& content, const std::string& key) {
    Read(content);
    const std::string file = ReadTextFile(Path);
    const std::string marker = "\n" + key + "=";
    const std::size_t at = file.find(marker);
    if (at == std::string::npos) {
      return "<missing>";
    }
    const std::size_t start = at + marker.size();
    return file.substr(start, file.find('\n', start) - start);
  }

  TTestDirectory Dir;
  const std::string Path = Dir.File("LogServer.conf");
};

TEST_F(uConfigurationFileTest, MissingFileGivesDefaultsAndIsCreated) {
  const TServerSettings s = ReadConfiguration(Path, Dir.Dir());
  EXPECT_EQ(s.ServicePort, 30000);
  EXPECT_EQ(s.SysLogPort, 514);
  EXPECT_EQ(s.RunMode, 0);
  EXPECT_EQ(s.LogMode, 1);
  EXPECT_EQ(s.BaseCatalog, Dir.Dir() + NativePath("Logs/"));
  EXPECT_TRUE(s.ModuleNameAsFilePrefix);
  EXPECT_EQ(s.TimePlacementMask, "yyyy_mm_dd");
  EXPECT_EQ(ReadTextFile(Path),
            "[Common]\nServicePort=30000\nRunMode=0\nLogMode=1\nBaseCatalog=" + Dir.Dir() +
                NativePath("Logs/") + "\nModuleNameAsFilePrefix=1\nTimePlacementMask=yyyy_mm_dd\n");
}

TEST_F(uConfigurationFileTest, ReadsEveryKey) {
  const TServerSettings s = Read(
      "[common]\nservicePort=31000\nSysLogPort=1514\nRunMode=7\nLogMode=-3\n"
      "BaseCatalog=/var/log/kelvra/\nModuleNameAsFilePrefix=0\nTimePlacementMask=yyyymmdd\n");
  EXPECT_EQ(s.ServicePort, 31000);
  EXPECT_EQ(s.SysLogPort, 1514);
  EXPECT_EQ(s.RunMode, 7);
  EXPECT_EQ(s.LogMode, -3);
  EXPECT_EQ(s.BaseCatalog, "/var/log/kelvra/");
  EXPECT_FALSE(s.ModuleNameAsFilePrefix);
  EXPECT_EQ(s.TimePlacementMask, "yyyymmdd");
}

struct PortCase {
  const char* value;
  std::uint16_t port;
};

TEST_F(uConfigurationFileTest, PortsAreStoredModulo65536AndWrittenBackSo) {
  const PortCase cases[] = {
      {"0x1F4", 500},        {"$1F4", 500},         {"abc", 30000}, {"", 30000},
      {"70000", 4464},       {"-1", 65535},         {"65536", 0},   {"$FFFFFFFF", 65535},
      {"2147483648", 30000}, {"$123456789", 30000}, {"500 ", 500},  {"\"600\"", 600},
  };
  for (const PortCase& c : cases) {
    SCOPED_TRACE(c.value);
    const std::string content = std::string("[Common]\nServicePort=") + c.value + "\n";
    EXPECT_EQ(Read(content).ServicePort, c.port);
    EXPECT_EQ(Stored(content, "ServicePort"), std::to_string(c.port));
  }
}

TEST_F(uConfigurationFileTest, BooleansAreIntegersWrittenAsZeroOrOne) {
  const struct {
    const char* value;
    bool read;
    const char* stored;
  } cases[] = {{"false", true, "1"}, {"true", true, "1"}, {"2", true, "1"},
               {"0", false, "0"},    {"$0", false, "0"},  {"-1", true, "1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const std::string content = std::string("[Common]\nModuleNameAsFilePrefix=") + c.value + "\n";
    EXPECT_EQ(Read(content).ModuleNameAsFilePrefix, c.read);
    EXPECT_EQ(Stored(content, "ModuleNameAsFilePrefix"), c.stored);
  }
}

TEST_F(uConfigurationFileTest, BaseCatalogIsTakenAsWritten) {
  const struct {
    const char* line;
    const char* read;
    const char* stored;
  } cases[] = {
      {"BaseCatalog=", "", ""},
      {"BaseCatalog=/var/log/kelvra", "/var/log/kelvra", "/var/log/kelvra"},
      {"BaseCatalog='D:\\logs\\' ", "D:\\logs\\", "D:\\logs\\"},
      // Blanks that belong to the value survive the write-back inside quotation marks.
      {"BaseCatalog=\"/logs \"", "/logs ", "\"/logs \""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string content = std::string("[Common]\n") + c.line + "\n";
    EXPECT_EQ(Read(content).BaseCatalog, c.read);
    EXPECT_EQ(Stored(content, "BaseCatalog"), c.stored);
    EXPECT_EQ(ReadConfiguration(Path, Dir.Dir()).BaseCatalog, c.read);
  }
}

TEST_F(uConfigurationFileTest, SysLogPortIsNeverWrittenBack) {
  EXPECT_EQ(Read("[Common]\nSysLogPort=1514\n").SysLogPort, 1514);
  EXPECT_NE(ReadTextFile(Path).find("\nSysLogPort=1514\n"), std::string::npos);
  std::filesystem::remove(Path);
  ReadConfiguration(Path, Dir.Dir());
  EXPECT_EQ(ReadTextFile(Path).find("\nSysLogPort"), std::string::npos);
}

TEST_F(uConfigurationFileTest, WriteBackKeepsEverythingElseByteForByte) {
  const std::string content =
      "; Kelvra Log Server\r\n"
      "[Common]\r\n"
      "  RunMode = 7\r\n"
      "SysLogPort=1514\r\n"
      "; the port of the clients\r\n"
      "ServicePort=0x1F4\r\n"
      "ServicePort=999\r\n"
      "\r\n"
      "[Providers]\r\n"
      "10.1.2.3|Billing|Core|Core=a.so\r\n";
  const TServerSettings s = Read(content);
  EXPECT_EQ(s.RunMode, 7);
  EXPECT_EQ(s.ServicePort, 500);
  EXPECT_EQ(ReadTextFile(Path),
            "; Kelvra Log Server\r\n"
            "[Common]\r\n"
            "  RunMode =7\r\n"
            "SysLogPort=1514\r\n"
            "; the port of the clients\r\n"
            "ServicePort=500\r\n"
            "ServicePort=999\r\n"
            "LogMode=1\r\n"
            "BaseCatalog=" +
                Dir.Dir() + NativePath("Logs/") +
                "\r\n"
                "ModuleNameAsFilePrefix=1\r\n"
                "TimePlacementMask=yyyy_mm_dd\r\n"
                "\r\n"
                "[Providers]\r\n"
                "10.1.2.3|Billing|Core|Core=a.so\r\n");
}

TEST_F(uConfigurationFileTest, SaveRunModeWritesOnlyRunMode) {
  WriteTextFile(Path, "[Common]\nRunMode=2\nLogMode=x\n");
  SaveRunMode(Path, 1);
  EXPECT_EQ(ReadTextFile(Path), "[Common]\nRunMode=1\nLogMode=x\n");
}

TEST_F(uConfigurationFileTest, UnwritableFileThrowsWithItsPath) {
  // A directory in its place is refused before anything is read or written.
  std::filesystem::create_directory(Path);
  try {
    ReadConfiguration(Path, Dir.Dir());
    FAIL() << "no error";
  } catch (const EConfigurationError& error) {
    EXPECT_EQ(std::string(error.what()), "Configuration file is not a regular file: " + Path);
  }
  try {
    SaveRunMode(Path, 2);
    FAIL() << "no error";
  } catch (const EConfigurationError& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to write to " + Path);
  }
}

TEST_F(uConfigurationFileTest, AByteOrderMarkAndCrOnlyLineEndsReadAsUsual) {
  const std::string cases[] = {
      "\xEF\xBB\xBF[Common]\nServicePort=4100\nLogMode=2\n",
      "[Common]\rServicePort=4100\rLogMode=2\r",
      "\xEF\xBB\xBF[Common]\r\nServicePort=4100\r\nLogMode=2\r\n",
  };
  for (const std::string& content : cases) {
    SCOPED_TRACE(content);
    WriteTextFile(Path, content);
    const TServerSettings s = ReadConfiguration(Path, Dir.Dir());
    EXPECT_EQ(s.ServicePort, 4100);
    EXPECT_EQ(s.LogMode, 2);
    const std::string written = ReadTextFile(Path);
    // One section, the mark kept, the file's own line ends used for the added keys.
    EXPECT_EQ(written.find("[Common]"), written.rfind("[Common]"));
    EXPECT_EQ(written.starts_with("\xEF\xBB\xBF"), content.starts_with("\xEF\xBB\xBF"));
    if (content.find('\n') == std::string::npos) {
      EXPECT_EQ(written.find('\n'), std::string::npos);
    }
  }
}

TEST_F(uConfigurationFileTest, AFileThatMustNotBeReadEndsTheStart) {
  struct Case {
    const char* name;
    std::function<void()> make;
    std::string error;
  };
  const Case cases[] = {
      // Devices and links to them are in the posix/ and win32/ twins.
      {"a directory", [&] { std::filesystem::create_directory(Path); },
       "Configuration file is not a regular file: " + Path},
      {"over 16 MiB",
       [&] {
         WriteTextFile(Path, "[Common]\n");
         std::filesystem::resize_file(Path, 16u * 1024u * 1024u + 1u);
       },
       "Configuration file larger than 16 MiB: " + Path},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(Path);
    c.make();
    try {
      ReadConfiguration(Path, Dir.Dir());
      ADD_FAILURE() << "no error";
    } catch (const EConfigurationError& error) {
      EXPECT_EQ(std::string(error.what()), c.error);
    }
  }
  // Just below 16 MiB (room left for the keys written back) is still read.
  std::filesystem::remove_all(Path);
  WriteTextFile(Path, "[Common]\nLogMode=0\n");
  std::filesystem::resize_file(Path, 16u * 1024u * 1024u - 4096u);
  EXPECT_EQ(ReadConfiguration(Path, Dir.Dir()).LogMode, 0);
}

}  // namespace

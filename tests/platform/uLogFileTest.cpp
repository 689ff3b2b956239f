#include "platform/uLogFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/uTestDirectory.h"

namespace {

namespace fs = std::filesystem;

// A new file's folders, however many of them exist already, are made on open; an existing file
// is appended to.
TEST(TLogFileTest, OpenMakesTheMissingFoldersWhereverTheyStart) {
  struct {
    const char* Name;
    const char* Existing;  // folders made beforehand, below the test's directory; "" for none
    const char* File;
  } const cases[] = {
      {"all folders missing", "", "host/app/mod/2024_03_07/14.log"},
      {"the upper folders there", "host/app", "host/app/mod/2024_03_07/14.log"},
      {"only the day folder missing", "host/app/mod", "host/app/mod/2024_03_07/14.log"},
      {"every folder there", "host/app/mod/2024_03_07", "host/app/mod/2024_03_07/14.log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TTestDirectory dir;
    if (*c.Existing != '\0') {
      fs::create_directories(fs::path(dir.Dir()) / c.Existing);
    }
    const std::string path = (fs::path(dir.Dir()) / c.File).make_preferred().string();
    {
      TLogFile file;
      ASSERT_TRUE(file.Open(path)) << file.LastError();
      EXPECT_TRUE(file.Write("one\r\n"));
    }
    TLogFile again;
    ASSERT_TRUE(again.Open(path)) << again.LastError();
    EXPECT_TRUE(again.Write("two\r\n"));
    again.Close();
    EXPECT_EQ(ReadTextFile(path), "one\r\ntwo\r\n");
  }
}

// A plain file where a folder should be: the open fails with a code, and nothing is made in its
// place.
TEST(TLogFileTest, AFileInPlaceOfAFolderFailsTheOpen) {
  for (const char* blocked : {"host", "host/app"}) {
    SCOPED_TRACE(blocked);
    TTestDirectory dir;
    const fs::path base(dir.Dir());
    fs::create_directories((base / blocked).parent_path());
    std::ofstream(base / blocked) << "not a folder";
    TLogFile file;
    EXPECT_FALSE(file.Open((base / "host/app/mod/14.log").make_preferred().string()));
    EXPECT_NE(file.LastError(), 0);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(fs::is_regular_file(base / blocked));
  }
}

}  // namespace

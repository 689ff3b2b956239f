#include "logging/TFileLogProducer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/logging/TFileLogProducerTestSupport.h"
#include "tests/uTestDirectory.h"

// The Windows side of the log tree: backslashes, the characters that Windows forbids in names, the
// dots and blanks that it drops from the end of a name, and its device names.

namespace {

using fileproducertest::MakeProducer;
using fileproducertest::Release;

TDateTime March7At14() {
  return EncodeDateTime(2024, 3, 7, 14, 5, 0, 0);
}

TEST(TFileLogProducerWin32Test, TheTreeIsBuiltWithBackslashes) {
  TTestDirectory dir;
  const std::string base = dir.Dir() + "srv\\Logs\\";
  ASSERT_EQ(base.find('/'), std::string::npos);
  auto producer = MakeProducer(base, "Billing", "Core", "Core");
  producer->AddMessage("line", 0, March7At14());
  Release(producer);
  EXPECT_EQ(ReadTextFile(base + "10.1.2.3\\Billing\\Core\\2024_03_07\\Core_14.log"), "line\r\n");
}

TEST(TFileLogProducerWin32Test, ForbiddenCharactersAndDeviceNamesNeverReachTheFileSystem) {
  const fileproducertest::TNameCase cases[] = {
      {"a<b>c", "d:e", "f\"g", "a_b_c\\d_e\\2024_03_07\\f_g_14.log"},
      {"x|y", "q?r*", "p*", "x_y\\q_r_\\2024_03_07\\p__14.log"},
      {"C:\\Windows", "m", "", "C__Windows\\m\\2024_03_07\\14.log"},
      {"CON", "nul", "", "_CON\\_nul\\2024_03_07\\14.log"},
      {"Com1", "LPT9.txt", "PRN", "_Com1\\_LPT9.txt\\2024_03_07\\PRN_14.log"},
      {"AUX.log", "conin$", "", "_AUX.log\\_conin$\\2024_03_07\\14.log"},
      {"COM10", "CONSOLE", "", "COM10\\CONSOLE\\2024_03_07\\14.log"},
      // Windows drops dots and blanks at the end of a name: "..." would be the parent folder.
      {"...", "..a", ".p", "___\\..a\\2024_03_07\\.p_14.log"},
      {"x.", "y ", "z.", "x_\\y_\\2024_03_07\\z._14.log"},
      {"....", ". .", "", "____\\___\\2024_03_07\\14.log"},
      {"CON.", "nul .", "", "CON_\\nul__\\2024_03_07\\14.log"},
  };
  fileproducertest::ExpectEachCaseLandsInItsFile(cases);
}

// The file is shared for reading and writing: a reader opens it while a producer holds it, and a
// second producer of the same path appends whole lines beside the first.
TEST(TFileLogProducerWin32Test, AnOpenFileCanBeReadAndSharedByTwoProducers) {
  TTestDirectory dir;
  auto first = MakeProducer(dir.Dir(), "App", "Mod", "");
  auto second = MakeProducer(dir.Dir(), "App", "Mod", "");
  first->AddMessage("one", 0, March7At14());
  second->AddMessage("two", 0, March7At14());
  first->AddMessage("three", 0, March7At14());
  EXPECT_TRUE(first->IsOpen());
  EXPECT_TRUE(second->IsOpen());
  const std::string file = dir.Dir() + "10.1.2.3\\App\\Mod\\2024_03_07\\14.log";
  EXPECT_EQ(ReadTextFile(file), "one\r\ntwo\r\nthree\r\n");
  Release(first);
  Release(second);
}

}  // namespace

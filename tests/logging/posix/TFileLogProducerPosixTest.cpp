#include "logging/TFileLogProducer.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/logging/TFileLogProducerTestSupport.h"
#include "tests/uTestDirectory.h"

// Names that only Windows would change stay as they are on POSIX: dots and blanks at the end,
// device names, the characters that Windows forbids.

namespace {

using fileproducertest::At;
using fileproducertest::MakeProducer;
using fileproducertest::Release;

TEST(TFileLogProducerPosixTest, NamesThatOnlyWindowsChangesStayAsTheyAre) {
  struct Case {
    const char* application;
    const char* module;
    const char* prefix;
    const char* path;  // below the address folder
  };
  const Case cases[] = {
      {"...", "..a", ".p", ".../..a/2024_03_07/.p_14.log"},
      {"x.", "y ", "z.", "x./y /2024_03_07/z._14.log"},
      {"CON", "nul.txt", "PRN", "CON/nul.txt/2024_03_07/PRN_14.log"},
      {"a<b>c", "d:e", "f\"g", "a<b>c/d:e/2024_03_07/f\"g_14.log"},
      {"x|y", "q?r*", "", "x|y/q?r*/2024_03_07/14.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    TTestDirectory dir;
    auto producer = MakeProducer(dir.Dir(), c.application, c.module, c.prefix);
    producer->AddMessage("line", 0, At(2024, 3, 7, 14, 0, 0, 0));
    Release(producer);
    EXPECT_EQ(ReadTextFile(dir.Dir() + "10.1.2.3/" + c.path), "line\r\n");
  }
}

}  // namespace

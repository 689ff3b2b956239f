#include "logging/TFileLogProducer.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/logging/TFileLogProducerTestSupport.h"
#include "tests/uTestDirectory.h"

// Names that only Windows would change stay as they are on POSIX: dots and blanks at the end,
// device names, the characters that Windows forbids.

namespace {

TEST(TFileLogProducerPosixTest, NamesThatOnlyWindowsChangesStayAsTheyAre) {
  const fileproducertest::TNameCase cases[] = {
      {"...", "..a", ".p", ".../..a/2024_03_07/.p_14.log"},
      {"x.", "y ", "z.", "x./y /2024_03_07/z._14.log"},
      {"CON", "nul.txt", "PRN", "CON/nul.txt/2024_03_07/PRN_14.log"},
      {"a<b>c", "d:e", "f\"g", "a<b>c/d:e/2024_03_07/f\"g_14.log"},
      {"x|y", "q?r*", "", "x|y/q?r*/2024_03_07/14.log"},
  };
  fileproducertest::ExpectEachCaseLandsInItsFile(cases);
}

}  // namespace

#include "platform/uLocale.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/uEnvironment.h"

// The POSIX locale is opened from the environment at each read, so a test can choose it with
// LC_ALL.

namespace {

// Sets LC_ALL for one test and puts the old value back.
class ScopedLcAll {
 public:
  explicit ScopedLcAll(const char* value) : FOld(EnvironmentValue("LC_ALL")) {
    SetEnvironmentValue("LC_ALL", value);
  }
  // An empty old value removes the variable, as it was unset (or empty, which means the same).
  ~ScopedLcAll() { SetEnvironmentValue("LC_ALL", FOld); }
  ScopedLcAll(const ScopedLcAll&) = delete;
  ScopedLcAll& operator=(const ScopedLcAll&) = delete;

 private:
  std::string FOld;
};

void ExpectCLocale(const TFormatSettings& s) {
  EXPECT_EQ(s.DateSeparator, '/');
  EXPECT_EQ(s.TimeSeparator, ':');
  EXPECT_EQ(s.ShortDateFormat, "mm/dd/yy");
  EXPECT_EQ(s.LongDateFormat, "mmmm d, yyyy");
  EXPECT_EQ(s.ShortTimeFormat, "hh:mm");
  EXPECT_EQ(s.LongTimeFormat, "hh:mm:ss");
  EXPECT_EQ(s.TimeAMString, "AM");
  EXPECT_EQ(s.TimePMString, "PM");
  EXPECT_EQ(s.ShortMonthNames[0], "Jan");
  EXPECT_EQ(s.LongMonthNames[11], "December");
  EXPECT_EQ(s.ShortDayNames[0], "Sun");
  EXPECT_EQ(s.LongDayNames[6], "Saturday");
}

TEST(uLocaleTest, CLocale) {
  ScopedLcAll c("C");
  ExpectCLocale(ReadLocaleFormatSettings());
}

TEST(uLocaleTest, UnknownLocaleFallsBackToC) {
  ScopedLcAll unknown("xx_XX.NoSuchCharset");
  ExpectCLocale(ReadLocaleFormatSettings());
}

}  // namespace

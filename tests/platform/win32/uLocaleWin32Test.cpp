#include "platform/uLocale.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

// The settings read from GetLocaleInfoA. Which locale the process has depends on the machine (under
// Wine: LC_ALL or LANG), so this checks what every Windows locale gives; the conversion of the
// values themselves is tested with fixed values in uLocaleInfoPictureTest.

namespace {

TEST(uLocaleWin32Test, TheLocaleGivesMasksNamesAndSeparators) {
  const TFormatSettings s = ReadLocaleFormatSettings();
  // Time masks are only ever built in these forms.
  const std::set<std::string> shortForms = {"h:mm",       "hh:mm",     "h:mm AMPM",
                                            "hh:mm AMPM", "AMPM h:mm", "AMPM hh:mm"};
  EXPECT_TRUE(shortForms.contains(s.ShortTimeFormat)) << s.ShortTimeFormat;
  std::string expectedLong = s.ShortTimeFormat;
  expectedLong.insert(expectedLong.find("mm") + 2, ":ss");
  EXPECT_EQ(s.LongTimeFormat, expectedLong);

  // Every Windows date picture has a day, a month and a year.
  for (const std::string& mask : {s.ShortDateFormat, s.LongDateFormat}) {
    EXPECT_NE(mask.find('d'), std::string::npos) << mask;
    EXPECT_NE(mask.find('m'), std::string::npos) << mask;
    EXPECT_NE(mask.find('y'), std::string::npos) << mask;
  }
  EXPECT_NE(s.DateSeparator, '\0');
  EXPECT_NE(s.TimeSeparator, '\0');

  // Twelve and seven distinct names.
  EXPECT_EQ(std::set<std::string>(s.LongMonthNames.begin(), s.LongMonthNames.end()).size(), 12u);
  EXPECT_EQ(std::set<std::string>(s.ShortMonthNames.begin(), s.ShortMonthNames.end()).size(), 12u);
  EXPECT_EQ(std::set<std::string>(s.LongDayNames.begin(), s.LongDayNames.end()).size(), 7u);
  EXPECT_EQ(std::set<std::string>(s.ShortDayNames.begin(), s.ShortDayNames.end()).size(), 7u);
}

// Wine reads its locale from LC_ALL and LANG; the tests run with the C locale or C.UTF-8, which
// Wine takes as English (United States). This also shows the days were put Sunday first.
TEST(uLocaleWin32Test, EnglishLocaleValues) {
  const TFormatSettings s = ReadLocaleFormatSettings();
  if (s.LongMonthNames[0] != "January") {
    GTEST_SKIP() << "not an English locale: " << s.LongMonthNames[0];
  }
  EXPECT_EQ(s.LongDayNames[0], "Sunday");
  EXPECT_EQ(s.ShortDayNames[6], "Sat");
  EXPECT_EQ(s.DateSeparator, '/');
  EXPECT_EQ(s.TimeSeparator, ':');
}

}  // namespace

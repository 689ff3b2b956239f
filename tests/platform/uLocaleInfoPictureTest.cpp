#include "platform/uLocaleInfoPicture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(uLocaleInfoPictureTest, DatePicturesBecomeMasks) {
  struct Case {
    const char* picture;
    char dateSeparator;
    const char* mask;
  };
  const Case cases[] = {
      {"M/d/yyyy", '/', "m/d/yyyy"},
      {"MM/dd/yy", '/', "mm/dd/yy"},
      {"d.M.yyyy", '.', "d/m/yyyy"},
      {"dd.MM.yyyy", '.', "dd/mm/yyyy"},
      {"yyyy-MM-dd", '-', "yyyy/mm/dd"},
      {"dddd, MMMM d, yyyy", '/', "dddd, mmmm d, yyyy"},
      {"dddd, d. MMMM yyyy", '.', "dddd, d/ mmmm yyyy"},
      // Quoted text keeps its letters out of the mask language.
      {"dddd, d' de 'MMMM' de 'yyyy", '/', "dddd, d \"de\" mmmm \"de\" yyyy"},
      // A date separator of another locale inside the picture stays that character.
      {"yyyy/MM/dd", '-', "yyyy\"/\"mm\"/\"dd"},
      // Letters that are not date tokens would mean something in a mask (h, n, s, t, a...).
      {"d MMM yyyy 'at' h", '/', "d mmm yyyy \"at\" \"h\""},
      {"yyyy'年'M'月'd'日'", '/', "yyyy年m月d日"},
      // '' stands for one quote, inside and outside quoted text.
      {"d''MM", '/', "d\"'\"mm"},
      {"'it''s' d", '/', "\"it's\" d"},
      // Text holding both quote characters is split between the two kinds of quotes.
      {"'a\"b''c' d", '/', "\"a\"'\"b'\"'c\" d"},
      // An unclosed quote takes the rest.
      {"d 'of MMMM", '/', "d \"of\" \"MMMM\""},
      {"dddddd MMMMM yyyyy yyy y", '/', "dddd mmmm yyyy yyyy y"},
      {"gg yyyy", '/', "gg yyyy"},
      {"", '/', ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LocaleDatePictureToMask(c.picture, c.dateSeparator, ':'), c.mask) << c.picture;
  }
}

TEST(uLocaleInfoPictureTest, TimeMasksFollowClockZeroAndMarkPosition) {
  struct Case {
    bool twelveHour;
    bool leadingZero;
    bool markFirst;
    const char* shortMask;
    const char* longMask;
  };
  const Case cases[] = {
      {false, true, false, "hh:mm", "hh:mm:ss"},
      {false, false, false, "h:mm", "h:mm:ss"},
      {false, true, true, "hh:mm", "hh:mm:ss"},  // no designator on a 24-hour clock
      {true, false, false, "h:mm AMPM", "h:mm:ss AMPM"},
      {true, true, false, "hh:mm AMPM", "hh:mm:ss AMPM"},
      {true, false, true, "AMPM h:mm", "AMPM h:mm:ss"},
  };
  for (const Case& c : cases) {
    std::string shortMask;
    std::string longMask;
    LocaleTimeMasks(c.twelveHour, c.leadingZero, c.markFirst, shortMask, longMask);
    EXPECT_EQ(shortMask, c.shortMask);
    EXPECT_EQ(longMask, c.longMask);
  }
}

// The values Windows gives for en-US.
TLocaleInfoValues EnglishUnitedStates() {
  TLocaleInfoValues values;
  values.DateSeparator = "/";
  values.TimeSeparator = ":";
  values.ShortDate = "M/d/yyyy";
  values.LongDate = "dddd, MMMM d, yyyy";
  values.AMString = "AM";
  values.PMString = "PM";
  values.TimeFormat = "0";
  values.LeadingZero = "0";
  values.MarkPosition = "0";
  values.ShortMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  values.LongMonthNames = {"January", "February", "March",     "April",   "May",      "June",
                           "July",    "August",   "September", "October", "November", "December"};
  values.ShortDayNames = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  values.LongDayNames = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                         "Friday", "Saturday", "Sunday"};
  return values;
}

TEST(uLocaleInfoPictureTest, EnglishUnitedStatesSettings) {
  const TFormatSettings s = FormatSettingsFromLocaleInfo(EnglishUnitedStates());
  EXPECT_EQ(s.DateSeparator, '/');
  EXPECT_EQ(s.TimeSeparator, ':');
  EXPECT_EQ(s.ShortDateFormat, "m/d/yyyy");
  EXPECT_EQ(s.LongDateFormat, "dddd, mmmm d, yyyy");
  EXPECT_EQ(s.ShortTimeFormat, "h:mm AMPM");
  EXPECT_EQ(s.LongTimeFormat, "h:mm:ss AMPM");
  EXPECT_EQ(s.TimeAMString, "AM");
  EXPECT_EQ(s.TimePMString, "PM");
  EXPECT_EQ(s.LongMonthNames[0], "January");
  EXPECT_EQ(s.ShortMonthNames[11], "Dec");
}

TEST(uLocaleInfoPictureTest, DaysAreReorderedSundayFirst) {
  const TFormatSettings s = FormatSettingsFromLocaleInfo(EnglishUnitedStates());
  const char* const longDays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                   "Thursday", "Friday", "Saturday"};
  const char* const shortDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(s.LongDayNames[i], longDays[i]);
    EXPECT_EQ(s.ShortDayNames[i], shortDays[i]);
  }
}

TEST(uLocaleInfoPictureTest, GermanSettings) {
  TLocaleInfoValues values;
  values.DateSeparator = ".";
  values.TimeSeparator = ":";
  values.ShortDate = "dd.MM.yyyy";
  values.LongDate = "dddd, d. MMMM yyyy";
  values.TimeFormat = "1";
  values.LeadingZero = "1";
  values.MarkPosition = "0";
  values.LongDayNames = {"Montag",  "Dienstag", "Mittwoch", "Donnerstag",
                         "Freitag", "Samstag",  "Sonntag"};
  const TFormatSettings s = FormatSettingsFromLocaleInfo(values);
  EXPECT_EQ(s.DateSeparator, '.');
  EXPECT_EQ(s.ShortDateFormat, "dd/mm/yyyy");
  EXPECT_EQ(s.LongDateFormat, "dddd, d/ mmmm yyyy");
  EXPECT_EQ(s.ShortTimeFormat, "hh:mm");
  EXPECT_EQ(s.LongTimeFormat, "hh:mm:ss");
  EXPECT_EQ(s.LongDayNames[0], "Sonntag");
  EXPECT_EQ(s.LongDayNames[1], "Montag");
  EXPECT_EQ(s.LongDayNames[6], "Samstag");
  // No designators given (a 24-hour locale): the English defaults stay.
  EXPECT_EQ(s.TimeAMString, "am");
  EXPECT_EQ(s.TimePMString, "pm");
}

TEST(uLocaleInfoPictureTest, EmptyItemsKeepTheEnglishDefaults) {
  const TFormatSettings s = FormatSettingsFromLocaleInfo(TLocaleInfoValues{});
  const TFormatSettings defaults;
  EXPECT_EQ(s.DateSeparator, defaults.DateSeparator);
  EXPECT_EQ(s.TimeSeparator, defaults.TimeSeparator);
  EXPECT_EQ(s.ShortDateFormat, defaults.ShortDateFormat);
  EXPECT_EQ(s.LongDateFormat, defaults.LongDateFormat);
  EXPECT_EQ(s.TimeAMString, defaults.TimeAMString);
  EXPECT_EQ(s.LongMonthNames, defaults.LongMonthNames);
  EXPECT_EQ(s.ShortDayNames, defaults.ShortDayNames);
  // Nothing about the clock given: the 24-hour form without a leading zero.
  EXPECT_EQ(s.ShortTimeFormat, "h:mm");
  EXPECT_EQ(s.LongTimeFormat, "h:mm:ss");
}

}  // namespace

#include "platform/uLocale.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/uStrftimePicture.h"

namespace {

TEST(uLocaleTest, SeparatorIsTheFirstCharacterOutsideConversions) {
  struct Case {
    const char* picture;
    char expected;
  };
  const Case cases[] = {
      {"%m/%d/%y", '/'}, {"%H:%M:%S", ':'}, {"%d.%m.%Y", '.'},
      {"%Y-%m-%d", '-'}, {"%D", '/'},       {"%T", ':'},
      {"%r", ':'},       {"%R", ':'},       {"%-d.%-m.%Y", '.'},
      {"%Ey/%Om", '/'},  {"%%%d", '?'},     {"%e %B %Y", ' '},
      {"", '?'},         {"%Y%m%d", '?'},   {"%Y\xE5\xB9\xB4%m", '?'},  // a UTF-8 byte is none
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picture);
    EXPECT_EQ(StrftimeSeparator(c.picture, '?'), c.expected);
  }
}

TEST(uLocaleTest, DatePicturesBecomeMasks) {
  struct Case {
    const char* picture;
    char dateSeparator;
    const char* expected;
  };
  const Case cases[] = {
      {"%m/%d/%y", '/', "mm/dd/yy"},
      {"%d.%m.%Y", '.', "dd/mm/yyyy"},
      {"%D", '/', "mm/dd/yy"},
      {"%F", '-', "yyyy/mm/dd"},
      {"%-d.%-m.%Y", '.', "d/m/yyyy"},
      {"%e %b %Y", ' ', "d/mmm/yyyy"},
      {"%a %A %B %Ey", '/', "ddd dddd mmmm yy"},
      {"%Y\xE5\xB9\xB4%m\xE6\x9C\x88%d\xE6\x97\xA5", '/',
       "yyyy\xE5\xB9\xB4mm\xE6\x9C\x88"
       "dd\xE6\x97\xA5"},
      {"%d de %B", '.', "dd \"d\"\"e\" mmmm"},  // letters are quoted
      {"%d'%m\"%j%Z%y %%", '.', "dd\"'\"mm'\"'yy %"},
      {"%d/%m:%y", '.', "dd\"/\"mm:yy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picture);
    EXPECT_EQ(StrftimeToMask(c.picture, c.dateSeparator, ':'), c.expected);
  }
}

TEST(uLocaleTest, TimeMasksAreBuiltFromTheTimePicture) {
  struct Case {
    const char* picture;
    const char* shortMask;
    const char* longMask;
  };
  const Case cases[] = {
      {"%H:%M:%S", "hh:mm", "hh:mm:ss"},
      {"%T", "hh:mm", "hh:mm:ss"},
      {"%r", "hh:mm AMPM", "hh:mm:ss AMPM"},
      {"%l:%M:%S %p", "h:mm AMPM", "h:mm:ss AMPM"},
      {"%k.%M", "h:mm", "h:mm:ss"},
      {"%-H:%M", "h:mm", "h:mm:ss"},
      {"%p %I\xEC\x8B\x9C %M\xEB\xB6\x84", "AMPM hh:mm", "AMPM hh:mm:ss"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picture);
    std::string shortMask;
    std::string longMask;
    ASSERT_TRUE(StrftimeTimeMasks(c.picture, shortMask, longMask));
    EXPECT_EQ(shortMask, c.shortMask);
    EXPECT_EQ(longMask, c.longMask);
  }
  std::string shortMask;
  std::string longMask;
  EXPECT_FALSE(StrftimeTimeMasks("%M:%S", shortMask, longMask));
  EXPECT_FALSE(StrftimeTimeMasks("", shortMask, longMask));
}

TEST(uLocaleTest, EmptyItemsKeepTheEnglishDefaults) {
  TStrftimeLocale sparse;
  sparse.DateFormat = "%d.%m.%Y";
  sparse.LongMonthNames[2] = "M\xC3\xA4rz";
  const TFormatSettings s = FormatSettingsFromStrftime(sparse);
  const TFormatSettings defaults;
  EXPECT_EQ(s.DateSeparator, '.');
  EXPECT_EQ(s.TimeSeparator, ':');
  EXPECT_EQ(s.ShortDateFormat, "dd/mm/yyyy");
  EXPECT_EQ(s.ShortTimeFormat, defaults.ShortTimeFormat);
  EXPECT_EQ(s.LongTimeFormat, defaults.LongTimeFormat);
  EXPECT_EQ(s.TimeAMString, "am");
  EXPECT_EQ(s.TimePMString, "pm");
  EXPECT_EQ(s.LongMonthNames[2], "M\xC3\xA4rz");
  EXPECT_EQ(s.LongMonthNames[3], "April");
  EXPECT_EQ(s.ShortDayNames[1], "Mon");

  const TFormatSettings empty = FormatSettingsFromStrftime(TStrftimeLocale{});
  EXPECT_EQ(empty.DateSeparator, '/');
  EXPECT_EQ(empty.ShortDateFormat, defaults.ShortDateFormat);
}

}  // namespace

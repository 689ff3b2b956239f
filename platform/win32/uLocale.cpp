#include "platform/uLocale.h"

#include <windows.h>

#include "platform/uLocaleInfoPicture.h"

namespace {

std::string LocaleText(LCTYPE item) {
  char buffer[256];
  const int length = GetLocaleInfoA(LOCALE_USER_DEFAULT, item, buffer, sizeof buffer);
  // The length counts the terminating zero; 0 means the item is unknown.
  return length > 1 ? std::string(buffer, static_cast<std::size_t>(length - 1)) : std::string();
}

}  // namespace

TFormatSettings ReadLocaleFormatSettings() {
  static constexpr LCTYPE ShortMonthItems[12] = {
      LOCALE_SABBREVMONTHNAME1,  LOCALE_SABBREVMONTHNAME2,  LOCALE_SABBREVMONTHNAME3,
      LOCALE_SABBREVMONTHNAME4,  LOCALE_SABBREVMONTHNAME5,  LOCALE_SABBREVMONTHNAME6,
      LOCALE_SABBREVMONTHNAME7,  LOCALE_SABBREVMONTHNAME8,  LOCALE_SABBREVMONTHNAME9,
      LOCALE_SABBREVMONTHNAME10, LOCALE_SABBREVMONTHNAME11, LOCALE_SABBREVMONTHNAME12};
  static constexpr LCTYPE LongMonthItems[12] = {
      LOCALE_SMONTHNAME1, LOCALE_SMONTHNAME2,  LOCALE_SMONTHNAME3,  LOCALE_SMONTHNAME4,
      LOCALE_SMONTHNAME5, LOCALE_SMONTHNAME6,  LOCALE_SMONTHNAME7,  LOCALE_SMONTHNAME8,
      LOCALE_SMONTHNAME9, LOCALE_SMONTHNAME10, LOCALE_SMONTHNAME11, LOCALE_SMONTHNAME12};
  static constexpr LCTYPE ShortDayItems[7] = {LOCALE_SABBREVDAYNAME1, LOCALE_SABBREVDAYNAME2,
                                              LOCALE_SABBREVDAYNAME3, LOCALE_SABBREVDAYNAME4,
                                              LOCALE_SABBREVDAYNAME5, LOCALE_SABBREVDAYNAME6,
                                              LOCALE_SABBREVDAYNAME7};
  static constexpr LCTYPE LongDayItems[7] = {LOCALE_SDAYNAME1, LOCALE_SDAYNAME2, LOCALE_SDAYNAME3,
                                             LOCALE_SDAYNAME4, LOCALE_SDAYNAME5, LOCALE_SDAYNAME6,
                                             LOCALE_SDAYNAME7};

  TLocaleInfoValues values;
  values.DateSeparator = LocaleText(LOCALE_SDATE);
  values.TimeSeparator = LocaleText(LOCALE_STIME);
  values.ShortDate = LocaleText(LOCALE_SSHORTDATE);
  values.LongDate = LocaleText(LOCALE_SLONGDATE);
  values.AMString = LocaleText(LOCALE_S1159);
  values.PMString = LocaleText(LOCALE_S2359);
  values.TimeFormat = LocaleText(LOCALE_ITIME);
  values.LeadingZero = LocaleText(LOCALE_ITLZERO);
  values.MarkPosition = LocaleText(LOCALE_ITIMEMARKPOSN);
  for (std::size_t i = 0; i < 12; ++i) {
    values.ShortMonthNames[i] = LocaleText(ShortMonthItems[i]);
    values.LongMonthNames[i] = LocaleText(LongMonthItems[i]);
  }
  for (std::size_t i = 0; i < 7; ++i) {
    values.ShortDayNames[i] = LocaleText(ShortDayItems[i]);
    values.LongDayNames[i] = LocaleText(LongDayItems[i]);
  }
  return FormatSettingsFromLocaleInfo(values);
}

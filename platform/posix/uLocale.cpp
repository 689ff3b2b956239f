#include "platform/uLocale.h"

#include <langinfo.h>
#include <locale.h>

#include "platform/uStrftimePicture.h"

namespace {

std::string LangInfo(nl_item item, locale_t locale) {
  const char* text = nl_langinfo_l(item, locale);
  return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

// The environment's locale (LC_ALL, LC_*, LANG) is opened as a locale object of its own rather
// than installed with setlocale: the values are the same, and the process-wide C locale, which
// other threads and plug-ins use for number formatting, stays untouched.
TFormatSettings ReadLocaleFormatSettings() {
  locale_t locale = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
  if (locale == static_cast<locale_t>(nullptr)) {
    // An unknown locale in the environment leaves the process in "C", as setlocale would.
    locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  }
  if (locale == static_cast<locale_t>(nullptr)) {
    return TFormatSettings{};
  }
  static constexpr nl_item ShortMonthItems[12] = {ABMON_1, ABMON_2,  ABMON_3,  ABMON_4,
                                                  ABMON_5, ABMON_6,  ABMON_7,  ABMON_8,
                                                  ABMON_9, ABMON_10, ABMON_11, ABMON_12};
  static constexpr nl_item LongMonthItems[12] = {MON_1, MON_2, MON_3, MON_4,  MON_5,  MON_6,
                                                 MON_7, MON_8, MON_9, MON_10, MON_11, MON_12};
  static constexpr nl_item ShortDayItems[7] = {ABDAY_1, ABDAY_2, ABDAY_3, ABDAY_4,
                                               ABDAY_5, ABDAY_6, ABDAY_7};
  static constexpr nl_item LongDayItems[7] = {DAY_1, DAY_2, DAY_3, DAY_4, DAY_5, DAY_6, DAY_7};

  TStrftimeLocale raw;
  raw.DateFormat = LangInfo(D_FMT, locale);
  raw.TimeFormat = LangInfo(T_FMT, locale);
  raw.AMString = LangInfo(AM_STR, locale);
  raw.PMString = LangInfo(PM_STR, locale);
  for (std::size_t i = 0; i < 12; ++i) {
    raw.ShortMonthNames[i] = LangInfo(ShortMonthItems[i], locale);
    raw.LongMonthNames[i] = LangInfo(LongMonthItems[i], locale);
  }
  // POSIX counts days from Sunday, as the settings do.
  for (std::size_t i = 0; i < 7; ++i) {
    raw.ShortDayNames[i] = LangInfo(ShortDayItems[i], locale);
    raw.LongDayNames[i] = LangInfo(LongDayItems[i], locale);
  }
  freelocale(locale);
  return FormatSettingsFromStrftime(raw);
}

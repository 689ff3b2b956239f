#pragma once

#include <array>
#include <string>
#include <string_view>

#include "platform/uLocale.h"

// A locale's date and time conventions as Windows gives them (GetLocaleInfoA), each text possibly
// empty. Plain text, so the conversion is the same and tested on every platform.
struct TLocaleInfoValues {
  std::string DateSeparator;  // LOCALE_SDATE
  std::string TimeSeparator;  // LOCALE_STIME
  std::string ShortDate;      // LOCALE_SSHORTDATE, e.g. "M/d/yyyy"
  std::string LongDate;       // LOCALE_SLONGDATE, e.g. "dddd, MMMM d, yyyy"
  std::string AMString;       // LOCALE_S1159
  std::string PMString;       // LOCALE_S2359
  std::string TimeFormat;     // LOCALE_ITIME: "0" 12-hour clock, "1" 24-hour clock
  std::string LeadingZero;    // LOCALE_ITLZERO: "1" for a leading zero in the hour
  std::string MarkPosition;   // LOCALE_ITIMEMARKPOSN: "0" designator behind, "1" in front
  std::array<std::string, 12> ShortMonthNames;  // LOCALE_SABBREVMONTHNAME1..12
  std::array<std::string, 12> LongMonthNames;   // LOCALE_SMONTHNAME1..12
  // Monday first, as Windows numbers them (LOCALE_SDAYNAME1 is Monday).
  std::array<std::string, 7> ShortDayNames;  // LOCALE_SABBREVDAYNAME1..7
  std::array<std::string, 7> LongDayNames;   // LOCALE_SDAYNAME1..7
};

// A Windows date picture in the time-mask language: d..dddd, M..MMMM, y..yyyy and g, gg keep
// their meaning (M becomes m); the date and time separator characters become "/" and ":" so the
// mask follows the locale's separators; quoted text ('' is a quote) and every other letter,
// quote, "/" or ":" are quoted; other characters are copied.
//   "M/d/yyyy" with '/' => "m/d/yyyy", "d. MMMM yyyy" with '.' => "d/ mmmm yyyy",
//   "dddd, d' de 'MMMM' de 'yyyy" => "dddd, d \"de\" mmmm \"de\" yyyy"
std::string LocaleDatePictureToMask(std::string_view picture, char dateSeparator,
                                    char timeSeparator);

// The short and long time masks: "hh" with a leading zero, else "h"; then ":mm" (":mm:ss"); on a
// 12-hour clock also "AMPM " in front when the designator goes first, else " AMPM" behind.
//   24-hour, zero => "hh:mm", "hh:mm:ss"; 12-hour, no zero, behind => "h:mm AMPM", "h:mm:ss AMPM"
void LocaleTimeMasks(bool twelveHour, bool leadingZero, bool markFirst, std::string& shortMask,
                     std::string& longMask);

// The settings for a locale: every empty item keeps its English default of TFormatSettings; days
// reordered Sunday first.
TFormatSettings FormatSettingsFromLocaleInfo(const TLocaleInfoValues& values);

#pragma once

#include <array>
#include <string>
#include <string_view>

#include "platform/uLocale.h"

// A locale's date and time conventions as POSIX gives them: strftime pictures and names, each
// possibly empty. Months January first, days Sunday first.
struct TStrftimeLocale {
  std::string DateFormat;  // D_FMT, e.g. "%m/%d/%y"
  std::string TimeFormat;  // T_FMT, e.g. "%H:%M:%S"
  std::string AMString;
  std::string PMString;
  std::array<std::string, 12> ShortMonthNames;
  std::array<std::string, 12> LongMonthNames;
  std::array<std::string, 7> ShortDayNames;
  std::array<std::string, 7> LongDayNames;
};

// The picture with the composite conversions %D, %T, %r, %R and %F written out:
//   "%D" => "%m/%d/%y", "%r" => "%I:%M:%S %p"
std::string ExpandStrftimeComposites(std::string_view picture);

// The first character of the picture that is not part of a % conversion (composites expanded
// first); fallback when there is none or it is not a single-byte (ASCII) character.
//   "%d.%m.%Y" => '.', "%T" => ':', "%Y年%m月" => fallback
char StrftimeSeparator(std::string_view picture, char fallback);

// The picture in the time-mask language. Literal letters, quotes and stray separators are
// quoted, the separator characters themselves become "/" and ":", conversions without a mask
// counterpart (%j, %Z, ...) are dropped.
//   "%d.%m.%Y" with '.' => "dd/mm/yyyy", "%e %B %Y" => "d mmmm yyyy"
std::string StrftimeToMask(std::string_view picture, char dateSeparator, char timeSeparator);

// The short and long time masks built from a time picture: "hh" for an hour with leading zero
// (%H, %I), else "h"; then ":mm" (":mm:ss"); on a 12-hour clock (%I, %l) also "AMPM " in front
// when %p comes before the hour, else " AMPM" behind. False when the picture has no hour.
//   "%H:%M:%S" => "hh:mm", "hh:mm:ss"; "%I:%M:%S %p" => "hh:mm AMPM", "hh:mm:ss AMPM"
bool StrftimeTimeMasks(std::string_view picture, std::string& shortMask, std::string& longMask);

// The settings for a locale: every empty item keeps its English default of TFormatSettings.
TFormatSettings FormatSettingsFromStrftime(const TStrftimeLocale& locale);

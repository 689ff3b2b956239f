#pragma once

#include <array>
#include <string>

// The locale's date and time conventions used by the time-mask formatter. The defaults are the
// values used where the platform gives nothing.
struct TFormatSettings {
  char DateSeparator = '/';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "m/d/yy";
  std::string LongDateFormat = "mmmm d, yyyy";
  std::string TimeAMString = "am";
  std::string TimePMString = "pm";
  std::string ShortTimeFormat = "h:mm AMPM";
  std::string LongTimeFormat = "h:mm:ss AMPM";
  std::array<std::string, 12> ShortMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::array<std::string, 12> LongMonthNames{"January",   "February", "March",    "April",
                                             "May",       "June",     "July",     "August",
                                             "September", "October",  "November", "December"};
  // Sunday first.
  std::array<std::string, 7> ShortDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::array<std::string, 7> LongDayNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};
};

// Reads the process locale from the platform. Every call reads it anew.
TFormatSettings ReadLocaleFormatSettings();

// The process's settings, read from the platform on the first call and never again, like the
// runtime's own locale state. Any thread.
const TFormatSettings& ProcessFormatSettings();

#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/uDateTime.h"
#include "platform/uLocale.h"

// The date and time pattern language of the server. A mask is read left to right; runs of one
// letter in one case are tokens (y, m, d, h, n, s, z, t, c, am/pm, a/p, ampm, aaaa, aaa, g, e),
// "/" and ":" are the locale's separators, quoted text is copied, anything else is copied as
// written. An m run right after an h token is minutes. The result is cut after 256 characters;
// an empty mask means "c". It never fails. For 7 March 2024 14:05:09.120 with "/" and ":":
//   "yyyy_mm_dd"                 => "2024_03_07"
//   "[hh:nn:ss.zzz] : "          => "[14:05:09.120] : "
//   "dd.mm.yyyy hh:nn:ss:zzz : " => "07.03.2024 14:05:09:120 : "
//   "h:nn am/pm"                 => "2:05 pm"
// Any thread.
std::string FormatTimeMask(std::string_view mask, TDateTime value, const TFormatSettings& settings);

// The same with the process's locale settings. Any thread.
std::string FormatTimeMask(std::string_view mask, TDateTime value);

// A mask parsed once into a list of small formatters, for masks used for every record. The output
// is the same as FormatTimeMask's for the same mask and settings; the settings are copied.
// Construction: any thread; a constructed mask is immutable, so any thread may format with it.
class TTimeMask {
 public:
  explicit TTimeMask(std::string mask, const TFormatSettings& settings = ProcessFormatSettings());

  // Appends the formatted value to out. Any thread.
  void AppendTo(std::string& out, TDateTime value) const;
  // The formatted value. Any thread.
  std::string Format(TDateTime value) const;

 private:
  class TCompiler;

  enum class TStepKind : std::uint8_t {
    Text,
    Number,
    Name,
    AmPm,
    SkipUnlessTimeOfDay,  // skips the next Count steps at 00:00:00 (milliseconds don't count)
  };

  struct TStep {
    TStepKind Kind = TStepKind::Text;
    std::uint8_t Item = 0;    // the field or name of a Number or Name step
    std::uint8_t Digits = 0;  // the least number of digits of a Number step
    std::uint32_t Count = 0;  // steps skipped by SkipUnlessTimeOfDay
    std::string Text;         // the text; the AM text of an AmPm step
    std::string PMText;
  };

  TFormatSettings FSettings;
  std::vector<TStep> FSteps;
};

#include "logging/uFormatTimeMask.h"

#include <algorithm>
#include <cstddef>

namespace {

// Longer results are cut, also in the middle of a token.
constexpr std::size_t MaxOutput = 256;

enum TField : std::uint8_t {
  FieldYear2,  // year modulo 100
  FieldYear,
  FieldMonth,
  FieldDay,
  FieldHour,
  FieldHour12,  // 0 => 12, 13..23 => 1..11
  FieldMinute,
  FieldSecond,
  FieldMillisecond,
};

enum TName : std::uint8_t { NameShortMonth, NameLongMonth, NameShortDay, NameLongDay };

// Decimal, zero-padded to digits, never cut.
void AppendNumber(std::string& out, long long value, int digits) {
  char text[24];
  char* const end = text + sizeof text;
  char* first = end;
  unsigned long long rest = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                      : static_cast<unsigned long long>(value);
  do {
    *--first = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  while (end - first < digits && first > text + 1) {
    *--first = '0';
  }
  if (value < 0) {
    *--first = '-';
  }
  out.append(first, end);
}

void AppendField(std::string& out, TField field, int digits, const TDateTimeParts& parts) {
  long long value = 0;
  switch (field) {
    case FieldYear2:
      value = (parts.Year % 100 + 100) % 100;
      break;
    case FieldYear:
      value = parts.Year;
      break;
    case FieldMonth:
      value = parts.Month;
      break;
    case FieldDay:
      value = parts.Day;
      break;
    case FieldHour:
      value = parts.Hour;
      break;
    case FieldHour12:
      value = parts.Hour % 12 == 0 ? 12 : parts.Hour % 12;
      break;
    case FieldMinute:
      value = parts.Minute;
      break;
    case FieldSecond:
      value = parts.Second;
      break;
    case FieldMillisecond:
      value = parts.Millisecond;
      break;
  }
  AppendNumber(out, value, digits);
}

// A value that does not decode (NaN, infinite) has month and weekday 0: no name then.
void AppendName(std::string& out, TName name, const TDateTimeParts& parts,
                const TFormatSettings& settings) {
  const bool month = name == NameShortMonth || name == NameLongMonth;
  const int index = (month ? parts.Month : parts.DayOfWeek) - 1;
  if (index < 0 || index >= (month ? 12 : 7)) {
    return;
  }
  const auto i = static_cast<std::size_t>(index);
  switch (name) {
    case NameShortMonth:
      out += settings.ShortMonthNames[i];
      break;
    case NameLongMonth:
      out += settings.LongMonthNames[i];
      break;
    case NameShortDay:
      out += settings.ShortDayNames[i];
      break;
    case NameLongDay:
      out += settings.LongDayNames[i];
      break;
  }
}

bool HasTimeOfDay(const TDateTimeParts& parts) {
  return parts.Hour != 0 || parts.Minute != 0 || parts.Second != 0;
}

// Only ASCII letters are tokens: bytes of other characters are copied as they are.
bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char ToUpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool MatchesNoCase(std::string_view mask, std::size_t pos, std::string_view lowerWord) {
  if (mask.size() - pos < lowerWord.size()) {
    return false;
  }
  for (std::size_t k = 0; k < lowerWord.size(); ++k) {
    const char c = mask[pos + k];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != lowerWord[k]) {
      return false;
    }
  }
  return true;
}

bool IsHourMarker(std::string_view mask, std::size_t pos) {
  return MatchesNoCase(mask, pos, "am/pm") || MatchesNoCase(mask, pos, "a/p") ||
         MatchesNoCase(mask, pos, "ampm");
}

// The length of the run of mask[pos]: the same character in the same case.
std::size_t RunLength(std::string_view mask, std::size_t pos) {
  std::size_t end = pos + 1;
  while (end < mask.size() && mask[end] == mask[pos]) {
    ++end;
  }
  return end - pos;
}

// The look-ahead of an hour token from the end of its run: quoted text is skipped (both quote
// characters share one state), the next h ends the search, and so does the first a outside
// quotes, which turns on the 12-hour clock when a marker begins there.
bool HourMarkerAhead(std::string_view mask, std::size_t pos) {
  bool inQuotes = false;
  for (; pos < mask.size(); ++pos) {
    const char c = mask[pos];
    if (c == 'h' || c == 'H') {
      return false;
    }
    if (c == '\'' || c == '"') {
      inQuotes = !inQuotes;
    } else if (!inQuotes && (c == 'a' || c == 'A')) {
      return IsHourMarker(mask, pos);
    }
  }
  return false;
}

// The mask and its nested masks (level 1 and 2; a third level gives nothing) into a sink that
// either writes the output of one value or records steps:
//   Text(std::string_view), Number(TField, int digits), Name(TName),
//   AmPm(std::string_view am, std::string_view pm),
//   bool BeginTimeOfDay() / EndTimeOfDay() around the time part of c.
template <class TSink>
void ParseMask(std::string_view mask, const TFormatSettings& settings, int level, TSink& sink) {
  const bool canNest = level < 2;
  char lastLetter = 0;
  bool twelveHour = false;
  std::size_t i = 0;
  while (i < mask.size()) {
    const char c = mask[i];
    char token = c;
    if (IsAsciiLetter(c)) {
      token = ToUpperAscii(c);
      if (token == 'M' && lastLetter == 'H') {
        token = 'N';
      }
      lastLetter = token;
    }
    const std::size_t run = IsAsciiLetter(c) ? RunLength(mask, i) : 1;
    const int digits = static_cast<int>(std::min<std::size_t>(run, 2));
    switch (token) {
      case 'Y':
        sink.Number(run <= 2 ? FieldYear2 : FieldYear, run <= 2 ? 2 : 4);
        i += run;
        break;
      case 'G':
      case 'E':
        // POSIX locales have no eras: era names and years give nothing.
        i += run;
        break;
      case 'M':
        if (run <= 2) {
          sink.Number(FieldMonth, digits);
        } else {
          sink.Name(run == 3 ? NameShortMonth : NameLongMonth);
        }
        i += run;
        break;
      case 'N':
        sink.Number(FieldMinute, digits);
        i += run;
        break;
      case 'D':
        if (run <= 2) {
          sink.Number(FieldDay, digits);
        } else if (run <= 4) {
          sink.Name(run == 3 ? NameShortDay : NameLongDay);
        } else if (canNest) {
          ParseMask(run == 5 ? settings.ShortDateFormat : settings.LongDateFormat, settings,
                    level + 1, sink);
        }
        i += run;
        break;
      case 'H':
        i += run;
        if (!twelveHour && HourMarkerAhead(mask, i)) {
          twelveHour = true;
        }
        sink.Number(twelveHour ? FieldHour12 : FieldHour, digits);
        break;
      case 'S':
        sink.Number(FieldSecond, digits);
        i += run;
        break;
      case 'Z':
        sink.Number(FieldMillisecond, static_cast<int>(std::min<std::size_t>(run, 3)));
        i += run;
        break;
      case 'T':
        if (canNest) {
          ParseMask(run == 1 ? settings.ShortTimeFormat : settings.LongTimeFormat, settings,
                    level + 1, sink);
        }
        i += run;
        break;
      case 'C':
        if (canNest) {
          ParseMask(settings.ShortDateFormat, settings, level + 1, sink);
          if (sink.BeginTimeOfDay()) {
            sink.Text(" ");
            ParseMask(settings.LongTimeFormat, settings, level + 1, sink);
            sink.EndTimeOfDay();
          }
        }
        i += run;
        break;
      case 'A':
        if (MatchesNoCase(mask, i, "am/pm")) {
          sink.AmPm(mask.substr(i, 2), mask.substr(i + 3, 2));
          twelveHour = true;
          i += 5;
        } else if (MatchesNoCase(mask, i, "a/p")) {
          sink.AmPm(mask.substr(i, 1), mask.substr(i + 2, 1));
          twelveHour = true;
          i += 3;
        } else if (MatchesNoCase(mask, i, "ampm")) {
          sink.AmPm(settings.TimeAMString, settings.TimePMString);
          twelveHour = true;
          i += 4;
        } else if (MatchesNoCase(mask, i, "aaaa")) {
          sink.Name(NameLongDay);
          i += 4;
        } else if (MatchesNoCase(mask, i, "aaa")) {
          sink.Name(NameShortDay);
          i += 3;
        } else {
          sink.Text(mask.substr(i, 1));
          i += 1;
        }
        break;
      case '/':
        if (settings.DateSeparator != '\0') {
          sink.Text(std::string_view(&settings.DateSeparator, 1));
        }
        i += 1;
        break;
      case ':':
        if (settings.TimeSeparator != '\0') {
          sink.Text(std::string_view(&settings.TimeSeparator, 1));
        }
        i += 1;
        break;
      case '\'':
      case '"': {
        const std::size_t close = mask.find(c, i + 1);
        const std::size_t end = close == std::string_view::npos ? mask.size() : close;
        sink.Text(mask.substr(i + 1, end - i - 1));
        i = close == std::string_view::npos ? mask.size() : close + 1;
        break;
      }
      default:
        sink.Text(mask.substr(i, 1));
        i += 1;
        break;
    }
  }
}

// Writes the output for one value while the mask is read.
class TDirectSink {
 public:
  TDirectSink(std::string& out, const TDateTimeParts& parts, const TFormatSettings& settings)
      : FOut(out), FParts(parts), FSettings(settings) {}

  void Text(std::string_view text) { FOut += text; }
  void Number(TField field, int digits) { AppendField(FOut, field, digits, FParts); }
  void Name(TName name) { AppendName(FOut, name, FParts, FSettings); }
  void AmPm(std::string_view am, std::string_view pm) { FOut += FParts.Hour < 12 ? am : pm; }
  bool BeginTimeOfDay() const { return HasTimeOfDay(FParts); }
  void EndTimeOfDay() {}

 private:
  std::string& FOut;
  const TDateTimeParts& FParts;
  const TFormatSettings& FSettings;
};

std::string_view EffectiveMask(std::string_view mask) {
  return mask.empty() ? "C" : mask;
}

}  // namespace

std::string FormatTimeMask(std::string_view mask, TDateTime value,
                           const TFormatSettings& settings) {
  std::string out;
  const TDateTimeParts parts = DecodeDateTime(value);
  TDirectSink sink(out, parts, settings);
  ParseMask(EffectiveMask(mask), settings, 1, sink);
  if (out.size() > MaxOutput) {
    out.resize(MaxOutput);
  }
  return out;
}

std::string FormatTimeMask(std::string_view mask, TDateTime value) {
  return FormatTimeMask(mask, value, ProcessFormatSettings());
}

// Records the steps of a mask; adjacent texts become one step, but never across the edges of a
// conditional block.
class TTimeMask::TCompiler {
 public:
  explicit TCompiler(std::vector<TStep>& steps) : FSteps(steps) {}

  void Text(std::string_view text) {
    if (text.empty()) {
      return;
    }
    if (FSteps.size() > FMergeFrom && FSteps.back().Kind == TStepKind::Text) {
      FSteps.back().Text += text;
      return;
    }
    TStep step;
    step.Text = std::string(text);
    FSteps.push_back(std::move(step));
  }

  void Number(TField field, int digits) {
    TStep step;
    step.Kind = TStepKind::Number;
    step.Item = field;
    step.Digits = static_cast<std::uint8_t>(digits);
    FSteps.push_back(std::move(step));
  }

  void Name(TName name) {
    TStep step;
    step.Kind = TStepKind::Name;
    step.Item = name;
    FSteps.push_back(std::move(step));
  }

  void AmPm(std::string_view am, std::string_view pm) {
    TStep step;
    step.Kind = TStepKind::AmPm;
    step.Text = std::string(am);
    step.PMText = std::string(pm);
    FSteps.push_back(std::move(step));
  }

  bool BeginTimeOfDay() {
    FOpenBlocks.push_back(FSteps.size());
    TStep step;
    step.Kind = TStepKind::SkipUnlessTimeOfDay;
    FSteps.push_back(std::move(step));
    FMergeFrom = FSteps.size();
    return true;
  }

  void EndTimeOfDay() {
    const std::size_t begin = FOpenBlocks.back();
    FOpenBlocks.pop_back();
    FSteps[begin].Count = static_cast<std::uint32_t>(FSteps.size() - begin - 1);
    FMergeFrom = FSteps.size();
  }

 private:
  std::vector<TStep>& FSteps;
  std::vector<std::size_t> FOpenBlocks;  // indexes of the skip steps of unfinished blocks
  std::size_t FMergeFrom = 0;            // a text step before this index takes no more text
};

TTimeMask::TTimeMask(std::string mask, const TFormatSettings& settings) : FSettings(settings) {
  TCompiler compiler(FSteps);
  ParseMask(EffectiveMask(mask), FSettings, 1, compiler);
}

void TTimeMask::AppendTo(std::string& out, TDateTime value) const {
  const std::size_t start = out.size();
  const TDateTimeParts parts = DecodeDateTime(value);
  for (std::size_t k = 0; k < FSteps.size(); ++k) {
    const TStep& step = FSteps[k];
    switch (step.Kind) {
      case TStepKind::Text:
        out += step.Text;
        break;
      case TStepKind::Number:
        AppendField(out, static_cast<TField>(step.Item), step.Digits, parts);
        break;
      case TStepKind::Name:
        AppendName(out, static_cast<TName>(step.Item), parts, FSettings);
        break;
      case TStepKind::AmPm:
        out += parts.Hour < 12 ? step.Text : step.PMText;
        break;
      case TStepKind::SkipUnlessTimeOfDay:
        if (!HasTimeOfDay(parts)) {
          k += step.Count;
        }
        break;
    }
  }
  if (out.size() - start > MaxOutput) {
    out.resize(start + MaxOutput);
  }
}

std::string TTimeMask::Format(TDateTime value) const {
  std::string out;
  AppendTo(out, value);
  return out;
}

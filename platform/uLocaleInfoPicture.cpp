#include "platform/uLocaleInfoPicture.h"

#include <algorithm>
#include <cstddef>

namespace {

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Collects literal text and writes it quoted where the mask language would read it otherwise.
class TMaskWriter {
 public:
  void Token(std::string_view token) {
    FlushLiteral();
    FMask += token;
  }
  void Literal(char c) {
    if (IsAsciiLetter(c) || c == '/' || c == ':' || c == '\'' || c == '"') {
      FQuoted += c;
    } else {
      FlushLiteral();
      FMask += c;
    }
  }
  std::string Finish() {
    FlushLiteral();
    return std::move(FMask);
  }

 private:
  void FlushLiteral() {
    // A quote ends at the same character that opened it: each stretch is enclosed in the quote
    // character that does not occur in it, so text holding both kinds takes several stretches.
    std::size_t i = 0;
    while (i < FQuoted.size()) {
      const char quote = FQuoted[i] == '"' ? '\'' : '"';
      const std::size_t end = std::min(FQuoted.find(quote, i), FQuoted.size());
      FMask += quote;
      FMask.append(FQuoted, i, end - i);
      FMask += quote;
      i = end;
    }
    FQuoted.clear();
  }

  std::string FMask;
  std::string FQuoted;
};

std::size_t RunLength(std::string_view text, std::size_t at) {
  std::size_t end = at;
  while (end < text.size() && text[end] == text[at]) {
    ++end;
  }
  return end - at;
}

char FirstCharacter(const std::string& text, char fallback) {
  return text.empty() ? fallback : text.front();
}

}  // namespace

std::string LocaleDatePictureToMask(std::string_view picture, char dateSeparator,
                                    char timeSeparator) {
  TMaskWriter writer;
  std::size_t i = 0;
  while (i < picture.size()) {
    const char c = picture[i];
    if (c == '\'') {
      // Quoted text up to the next lone quote; '' inside or outside stands for one quote.
      if (i + 1 < picture.size() && picture[i + 1] == '\'') {
        writer.Literal('\'');
        i += 2;
        continue;
      }
      ++i;
      while (i < picture.size()) {
        if (picture[i] == '\'') {
          if (i + 1 < picture.size() && picture[i + 1] == '\'') {
            writer.Literal('\'');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        writer.Literal(picture[i]);
        ++i;
      }
      continue;
    }
    const std::size_t run = RunLength(picture, i);
    switch (c) {
      case 'd':
        writer.Token(std::string(run > 4 ? 4 : run, 'd'));
        break;
      case 'M':
        writer.Token(std::string(run > 4 ? 4 : run, 'm'));
        break;
      case 'y':
        // Windows prints "y" without a leading zero and "yyy" like "yyyy".
        writer.Token(run <= 2 ? std::string(run, 'y') : std::string("yyyy"));
        break;
      case 'g':
        writer.Token(run == 1 ? "g" : "gg");
        break;
      default:
        for (std::size_t k = 0; k < run; ++k) {
          if (c == dateSeparator) {
            writer.Token("/");
          } else if (c == timeSeparator) {
            writer.Token(":");
          } else {
            writer.Literal(c);
          }
        }
        break;
    }
    i += run;
  }
  return writer.Finish();
}

void LocaleTimeMasks(bool twelveHour, bool leadingZero, bool markFirst, std::string& shortMask,
                     std::string& longMask) {
  const std::string hour = leadingZero ? "hh" : "h";
  shortMask = hour + ":mm";
  longMask = hour + ":mm:ss";
  if (twelveHour) {
    shortMask = markFirst ? "AMPM " + shortMask : shortMask + " AMPM";
    longMask = markFirst ? "AMPM " + longMask : longMask + " AMPM";
  }
}

TFormatSettings FormatSettingsFromLocaleInfo(const TLocaleInfoValues& values) {
  TFormatSettings settings;
  settings.DateSeparator = FirstCharacter(values.DateSeparator, settings.DateSeparator);
  settings.TimeSeparator = FirstCharacter(values.TimeSeparator, settings.TimeSeparator);
  auto take = [](std::string& target, const std::string& source) {
    if (!source.empty()) {
      target = source;
    }
  };
  take(settings.ShortDateFormat,
       LocaleDatePictureToMask(values.ShortDate, settings.DateSeparator, settings.TimeSeparator));
  take(settings.LongDateFormat,
       LocaleDatePictureToMask(values.LongDate, settings.DateSeparator, settings.TimeSeparator));
  LocaleTimeMasks(values.TimeFormat == "0", values.LeadingZero == "1",
                  !values.MarkPosition.empty() && values.MarkPosition != "0",
                  settings.ShortTimeFormat, settings.LongTimeFormat);
  take(settings.TimeAMString, values.AMString);
  take(settings.TimePMString, values.PMString);
  for (std::size_t i = 0; i < 12; ++i) {
    take(settings.ShortMonthNames[i], values.ShortMonthNames[i]);
    take(settings.LongMonthNames[i], values.LongMonthNames[i]);
  }
  // Windows counts from Monday; the settings from Sunday.
  for (std::size_t i = 0; i < 7; ++i) {
    const std::size_t from = (i + 6) % 7;
    take(settings.ShortDayNames[i], values.ShortDayNames[from]);
    take(settings.LongDayNames[i], values.LongDayNames[from]);
  }
  return settings;
}

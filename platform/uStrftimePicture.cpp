#include "platform/uStrftimePicture.h"

#include <cstddef>

namespace {

// One element of a strftime picture: a literal character or a % conversion.
struct TPictureItem {
  std::string_view Text;  // as written, "%-d" or "."
  bool Conversion = false;
  char Flag = 0;    // glibc padding flag: '-', '_', '0', '^', '#'
  char Letter = 0;  // the conversion character, after an E or O modifier
};

bool IsFlag(char c) {
  return c == '-' || c == '_' || c == '0' || c == '^' || c == '#';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

template <class TVisit>
void ForEachPictureItem(std::string_view picture, TVisit&& visit) {
  const std::size_t n = picture.size();
  std::size_t i = 0;
  while (i < n) {
    if (picture[i] != '%') {
      visit(TPictureItem{picture.substr(i, 1), false, 0, picture[i]});
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    char flag = 0;
    while (j < n && IsFlag(picture[j])) {
      flag = picture[j++];
    }
    while (j < n && IsDigit(picture[j])) {
      ++j;
    }
    if (j < n && (picture[j] == 'E' || picture[j] == 'O')) {
      ++j;
    }
    if (j >= n) {
      // A conversion cut off by the end is printed as written by strftime.
      for (; i < n; ++i) {
        visit(TPictureItem{picture.substr(i, 1), false, 0, picture[i]});
      }
      return;
    }
    visit(TPictureItem{picture.substr(i, j + 1 - i), true, flag, picture[j]});
    i = j + 1;
  }
}

std::string_view CompositeExpansion(char letter) {
  switch (letter) {
    case 'D':
      return "%m/%d/%y";
    case 'T':
      return "%H:%M:%S";
    case 'r':
      return "%I:%M:%S %p";
    case 'R':
      return "%H:%M";
    case 'F':
      return "%Y-%m-%d";
    default:
      return {};
  }
}

// The mask for one conversion; empty for those without a counterpart.
std::string_view ConversionMask(const TPictureItem& item) {
  const bool unpadded = item.Flag == '-' || item.Flag == '_';
  switch (item.Letter) {
    case 'd':
      return unpadded ? "d" : "dd";
    case 'e':
      return "d";
    case 'm':
      return unpadded ? "m" : "mm";
    case 'y':
    case 'g':
      return "yy";
    case 'Y':
    case 'G':
      return "yyyy";
    case 'b':
    case 'h':
      return "mmm";
    case 'B':
      return "mmmm";
    case 'a':
      return "ddd";
    case 'A':
      return "dddd";
    case 'H':
    case 'I':
      return unpadded ? "h" : "hh";
    case 'k':
    case 'l':
      return "h";
    case 'M':
      return unpadded ? "n" : "nn";
    case 'S':
      return unpadded ? "s" : "ss";
    case 'p':
    case 'P':
      return "ampm";
    case 'n':
      return "\n";
    case 't':
      return "\t";
    case '%':
      return "%";
    default:
      return {};
  }
}

void AppendLiteral(std::string& mask, char c, char dateSeparator, char timeSeparator) {
  if (c == dateSeparator) {
    mask += '/';
  } else if (c == timeSeparator) {
    mask += ':';
  } else if (c == '"') {
    mask += "'\"'";
  } else if (IsAsciiLetter(c) || c == '\'' || c == '/' || c == ':') {
    mask += '"';
    mask += c;
    mask += '"';
  } else {
    mask += c;
  }
}

}  // namespace

std::string ExpandStrftimeComposites(std::string_view picture) {
  std::string expanded;
  expanded.reserve(picture.size() * 2);
  ForEachPictureItem(picture, [&](const TPictureItem& item) {
    const std::string_view expansion = item.Conversion ? CompositeExpansion(item.Letter) : "";
    expanded += expansion.empty() ? item.Text : expansion;
  });
  return expanded;
}

char StrftimeSeparator(std::string_view picture, char fallback) {
  const std::string expanded = ExpandStrftimeComposites(picture);
  bool found = false;
  char separator = fallback;
  ForEachPictureItem(expanded, [&](const TPictureItem& item) {
    if (found || item.Conversion) {
      return;
    }
    found = true;
    const auto code = static_cast<unsigned char>(item.Letter);
    // A byte of a multi-byte character is no separator of its own.
    if (code >= 0x20 && code < 0x7F) {
      separator = item.Letter;
    }
  });
  return separator;
}

std::string StrftimeToMask(std::string_view picture, char dateSeparator, char timeSeparator) {
  std::string mask;
  ForEachPictureItem(ExpandStrftimeComposites(picture), [&](const TPictureItem& item) {
    if (item.Conversion) {
      const std::string_view converted = ConversionMask(item);
      if (converted.size() == 1 && !IsAsciiLetter(converted[0])) {
        AppendLiteral(mask, converted[0], dateSeparator, timeSeparator);
      } else {
        mask += converted;
      }
    } else {
      AppendLiteral(mask, item.Letter, dateSeparator, timeSeparator);
    }
  });
  return mask;
}

bool StrftimeTimeMasks(std::string_view picture, std::string& shortMask, std::string& longMask) {
  bool hourFound = false;
  bool leadingZero = false;
  bool twelveHour = false;
  bool markerFirst = false;
  bool markerSeen = false;
  ForEachPictureItem(ExpandStrftimeComposites(picture), [&](const TPictureItem& item) {
    if (!item.Conversion) {
      return;
    }
    if (item.Letter == 'p' || item.Letter == 'P') {
      markerSeen = true;
    } else if (!hourFound && (item.Letter == 'H' || item.Letter == 'I' || item.Letter == 'k' ||
                              item.Letter == 'l')) {
      hourFound = true;
      leadingZero =
          (item.Letter == 'H' || item.Letter == 'I') && item.Flag != '-' && item.Flag != '_';
      twelveHour = item.Letter == 'I' || item.Letter == 'l';
      markerFirst = markerSeen;
    }
  });
  if (!hourFound) {
    return false;
  }
  const std::string hour = leadingZero ? "hh" : "h";
  shortMask = hour + ":mm";
  longMask = hour + ":mm:ss";
  if (twelveHour) {
    shortMask = markerFirst ? "AMPM " + shortMask : shortMask + " AMPM";
    longMask = markerFirst ? "AMPM " + longMask : longMask + " AMPM";
  }
  return true;
}

TFormatSettings FormatSettingsFromStrftime(const TStrftimeLocale& locale) {
  TFormatSettings settings;
  settings.DateSeparator = StrftimeSeparator(locale.DateFormat, settings.DateSeparator);
  settings.TimeSeparator = StrftimeSeparator(locale.TimeFormat, settings.TimeSeparator);
  const std::string shortDate =
      StrftimeToMask(locale.DateFormat, settings.DateSeparator, settings.TimeSeparator);
  if (!shortDate.empty()) {
    settings.ShortDateFormat = shortDate;
  }
  // POSIX has no long date picture: LongDateFormat keeps its default.
  std::string shortTime;
  std::string longTime;
  if (StrftimeTimeMasks(locale.TimeFormat, shortTime, longTime)) {
    settings.ShortTimeFormat = shortTime;
    settings.LongTimeFormat = longTime;
  }
  auto take = [](std::string& target, const std::string& source) {
    if (!source.empty()) {
      target = source;
    }
  };
  take(settings.TimeAMString, locale.AMString);
  take(settings.TimePMString, locale.PMString);
  for (std::size_t i = 0; i < 12; ++i) {
    take(settings.ShortMonthNames[i], locale.ShortMonthNames[i]);
    take(settings.LongMonthNames[i], locale.LongMonthNames[i]);
  }
  for (std::size_t i = 0; i < 7; ++i) {
    take(settings.ShortDayNames[i], locale.ShortDayNames[i]);
    take(settings.LongDayNames[i], locale.LongDayNames[i]);
  }
  return settings;
}

#include "logging/uFormatTimeMask.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/uStrftimePicture.h"

namespace {

// Thursday, 7 March 2024 14:05:09.120.
const TDateTime Sample = EncodeDateTime(2024, 3, 7, 14, 5, 9, 120);

struct MaskCase {
  const char* mask;
  TDateTime value;
  const char* expected;
};

// English defaults: "/" and ":", "m/d/yy", "mmmm d, yyyy", "h:mm AMPM", "h:mm:ss AMPM", am/pm.
const TFormatSettings English;

void ExpectCases(const std::vector<MaskCase>& cases, const TFormatSettings& settings) {
  for (const MaskCase& c : cases) {
    SCOPED_TRACE(std::string("mask \"") + c.mask + "\"");
    EXPECT_EQ(FormatTimeMask(c.mask, c.value, settings), c.expected);
  }
}

TEST(uFormatTimeMaskTest, ServerMasks) {
  ExpectCases({{"yyyy_mm_dd", Sample, "2024_03_07"},
               {"hh", Sample, "14"},
               {"hh:nn:ss.zzz", Sample, "14:05:09.120"},
               {"[hh:nn:ss.zzz] : ", Sample, "[14:05:09.120] : "},
               {"dd.mm.yyyy hh:nn:ss:zzz : ", Sample, "07.03.2024 14:05:09:120 : "}},
              English);
}

TEST(uFormatTimeMaskTest, TimeSeparatorOfTheLocale) {
  TFormatSettings dotted;
  dotted.TimeSeparator = '.';
  dotted.DateSeparator = '-';
  ExpectCases({{"dd.mm.yyyy hh:nn:ss:zzz : ", Sample, "07.03.2024 14.05.09.120 . "},
               {"yyyy/mm/dd", Sample, "2024-03-07"}},
              dotted);
  TFormatSettings none;
  none.TimeSeparator = '\0';
  none.DateSeparator = '\0';
  ExpectCases({{"yyyy/mm/dd hh:nn", Sample, "20240307 1405"}}, none);
}

TEST(uFormatTimeMaskTest, RunsAndTheLastLetter) {
  ExpectCases(
      {
          {"hh:mm", Sample, "14:05"},
          {"hh dd mm", Sample, "14 07 03"},
          {"mm:hh", Sample, "03:14"},
          {"hxm", Sample, "14x3"},
          {"hh:mm mm", Sample, "14:05 03"},  // after a minute, m is a month again
          {"hh'h'mm", Sample, "14h05"},      // quoted letters are not tokens
          {"HH:MM", Sample, "14:05"},
          {"hh\xC3\xA9mm", Sample,
           "14\xC3\xA9"
           "05"},  // other bytes keep the last letter
          {"yyYY", Sample, "2424"},
          {"YYYY", Sample, "2024"},
          {"y", Sample, "24"},
          {"yyy", Sample, "2024"},
          {"m mm mmm mmmm MMMMM", Sample, "3 03 Mar March March"},
          {"d dd ddd dddd", Sample, "7 07 Thu Thursday"},
          {"n nn nnn s ss sss", Sample, "5 05 05 9 09 09"},
          {"hhh h", EncodeDateTime(2024, 3, 7, 4, 5, 9, 7), "04 4"},
          {"z zz zzz zzzz", EncodeDateTime(2024, 3, 7, 4, 5, 9, 7), "7 07 007 007"},
          {"aaa AAAA aAaA", Sample, "Thu Thursday Thursday"},
          {"a b f i j k l o p q r u v w x", Sample, "a b f i j k l o p q r u v w x"},
          {"Ab", Sample, "Ab"},
          {"g e gg ee eee", Sample, "    "},  // no eras on this platform
      },
      English);
}

TEST(uFormatTimeMaskTest, YearsAreNeverCut) {
  ExpectCases({{"yyyy", EncodeDateTime(5, 1, 1, 0, 0, 0, 0), "0005"},
               {"y", EncodeDateTime(5, 1, 1, 0, 0, 0, 0), "05"},
               {"yyyy yy", EncodeDateTime(12345, 1, 1, 0, 0, 0, 0), "12345 45"}},
              English);
}

TEST(uFormatTimeMaskTest, TwelveHourClock) {
  const TDateTime halfPastMidnight = EncodeDateTime(2024, 3, 7, 0, 30, 0, 0);
  const TDateTime fivePastOne = EncodeDateTime(2024, 3, 7, 13, 5, 0, 0);
  const TDateTime noon = EncodeDateTime(2024, 3, 7, 12, 0, 0, 0);
  ExpectCases(
      {
          {"h:nn am/pm", halfPastMidnight, "12:30 am"},
          {"h:nn am/pm", fivePastOne, "1:05 pm"},
          {"h:nn am/pm", noon, "12:00 pm"},
          {"HH:NN AM/PM", fivePastOne, "01:05 PM"},
          {"hh Am/pM", fivePastOne, "01 pM"},
          {"hh Am/pM", halfPastMidnight, "12 Am"},
          {"h a/p", fivePastOne, "1 p"},
          {"h A/P", halfPastMidnight, "12 A"},
          {"h ampm", fivePastOne, "1 pm"},
          {"h AMPM", halfPastMidnight, "12 am"},
          {"h 'am/pm'", fivePastOne, "13 am/pm"},     // the marker is quoted
          {"h \"a\" am/pm", fivePastOne, "1 a pm"},   // look-ahead skips quotes
          {"h h am/pm", fivePastOne, "13 1 pm"},      // look-ahead stops at the next h
          {"h aaa am/pm", fivePastOne, "13 Thu pm"},  // and at the first a
          {"am/pm h", fivePastOne, "pm 1"},           // the mode stays on
          // The look-ahead closes the quote at ", while the text runs to a closing '.
          {"h 'x\" am/pm", fivePastOne, "1 x\" am/pm"},
      },
      English);
}

TEST(uFormatTimeMaskTest, NestedFormats) {
  const TDateTime midnight = EncodeDateTime(2024, 3, 7, 0, 0, 0, 0);
  const TDateTime halfSecond = EncodeDateTime(2024, 3, 7, 0, 0, 0, 500);
  ExpectCases({{"ddddd", Sample, "3/7/24"},
               {"dddddd", Sample, "March 7, 2024"},
               {"t", Sample, "2:05 pm"},
               {"tt", Sample, "2:05:09 pm"},
               {"c", Sample, "3/7/24 2:05:09 pm"},
               {"CC", Sample, "3/7/24 2:05:09 pm"},
               {"", Sample, "3/7/24 2:05:09 pm"},
               {"c", midnight, "3/7/24"},
               {"c", halfSecond, "3/7/24"},
               {"", midnight, "3/7/24"}},
              English);

  // Each nested mask starts on the 24-hour clock; a third level gives nothing.
  TFormatSettings custom;
  custom.ShortTimeFormat = "h:mm";
  custom.ShortDateFormat = "d/ddddd/t/c";
  ExpectCases({{"am/pm t", Sample, "pm 14:05"}, {"ddddd|c", Sample, "7///|7/// 2:05:09 pm"}},
              custom);
}

TEST(uFormatTimeMaskTest, QuotesAndTheOutputLimit) {
  const std::string longMask(300, 'x');
  const std::string cutToken = std::string(255, 'x') + "mmmm";
  ExpectCases({{"'unclosed hh", Sample, "unclosed hh"},
               {"hh \"it's\" nn", Sample, "14 it's 05"},
               {"'a''b'", Sample, "ab"},
               {"''hh", Sample, "14"},
               {longMask.c_str(), Sample, std::string(256, 'x').c_str()},
               {cutToken.c_str(), Sample, (std::string(255, 'x') + "M").c_str()}},
              English);
}

TEST(uFormatTimeMaskTest, HalfAMillisecondBeforeMidnightIsTheNextDay) {
  const TDateTime almostMidnight =
      EncodeDateTime(2024, 3, 8, 0, 0, 0, 0) - 0.4 / static_cast<double>(MillisecondsPerDay);
  ExpectCases({{"yyyy-mm-dd hh:nn:ss.zzz", almostMidnight, "2024-03-08 00:00:00.000"},
               {"dddd", almostMidnight, "Friday"}},
              English);
}

TEST(uFormatTimeMaskTest, UndecodableValuesGiveNoNames) {
  const TDateTime nan = std::numeric_limits<double>::quiet_NaN();
  ExpectCases({{"dddd mmmm|yyyy", nan, " |0000"}}, English);
}

TEST(uFormatTimeMaskTest, ConvertedLocalePicturesFormatAsThePlatformWould) {
  TStrftimeLocale german;
  german.DateFormat = "%d.%m.%Y";
  german.TimeFormat = "%T";
  german.LongMonthNames[2] = "M\xC3\xA4rz";
  const TFormatSettings settings = FormatSettingsFromStrftime(german);
  ExpectCases({{"ddddd", Sample, "07.03.2024"},
               {"c", Sample, "07.03.2024 14:05:09"},
               {"d. mmmm", Sample, "7. M\xC3\xA4rz"}},
              settings);
}

TEST(uFormatTimeMaskTest, ProcessSettingsAreReadOnce) {
  EXPECT_EQ(&ProcessFormatSettings(), &ProcessFormatSettings());
  EXPECT_EQ(FormatTimeMask("c yyyy/mm/dd hh:nn", Sample),
            FormatTimeMask("c yyyy/mm/dd hh:nn", Sample, ProcessFormatSettings()));
  EXPECT_EQ(TTimeMask("hh:nn:ss.zzz").Format(Sample), FormatTimeMask("hh:nn:ss.zzz", Sample));
}

TEST(uFormatTimeMaskTest, CompiledMasksGiveTheSameOutput) {
  TFormatSettings nested;
  nested.ShortDateFormat = "d/ddddd/t/c";
  nested.LongTimeFormat = "hh:mm:ss.zzz ampm";
  nested.ShortTimeFormat = "AMPM h:mm";
  const TFormatSettings* settingsList[] = {&English, &nested};
  const char* masks[] = {"yyyy_mm_dd",
                         "hh",
                         "hh:nn:ss.zzz",
                         "[hh:nn:ss.zzz] : ",
                         "dd.mm.yyyy hh:nn:ss:zzz : ",
                         "",
                         "c",
                         "c|c",
                         "cc 'x' c",
                         "ddddd dddddd",
                         "t tt",
                         "hh:mm",
                         "hh dd mm",
                         "mm:hh",
                         "hxm",
                         "h:nn am/pm",
                         "HH:NN AM/PM",
                         "h 'am/pm'",
                         "h a/p ampm aaa aaaa a",
                         "yyyy y yyYY",
                         "zzzz",
                         "hhh",
                         "'unclosed",
                         "\"quoted\" 'text'",
                         "g e gg ee eee",
                         "mmm mmmm dddd ddd",
                         "/:/:",
                         "am/pm h",
                         "h h am/pm"};
  const TDateTime values[] = {Sample,
                              EncodeDateTime(2024, 3, 7, 0, 0, 0, 0),
                              EncodeDateTime(2024, 3, 7, 0, 0, 0, 500),
                              EncodeDateTime(2024, 3, 7, 0, 30, 0, 0),
                              EncodeDateTime(2024, 3, 7, 13, 5, 0, 0),
                              EncodeDateTime(2024, 3, 7, 12, 0, 0, 0),
                              EncodeDateTime(5, 1, 1, 23, 59, 59, 999),
                              EncodeDateTime(2024, 3, 8, 0, 0, 0, 0) - 0.4 / 86'400'000.0,
                              std::numeric_limits<double>::quiet_NaN()};
  std::vector<std::string> allMasks(std::begin(masks), std::end(masks));
  allMasks.push_back(std::string(100, 'c'));  // long enough to be cut in the middle
  allMasks.push_back(std::string(254, 'x') + "dddd");
  for (const TFormatSettings* settings : settingsList) {
    for (const std::string& mask : allMasks) {
      const TTimeMask compiled(mask, *settings);
      for (const TDateTime value : values) {
        SCOPED_TRACE("mask \"" + mask + "\" value " + std::to_string(value));
        const std::string direct = FormatTimeMask(mask, value, *settings);
        EXPECT_EQ(compiled.Format(value), direct);
        std::string appended = "prefix ";
        compiled.AppendTo(appended, value);
        EXPECT_EQ(appended, "prefix " + direct);
      }
    }
  }
}

}  // namespace

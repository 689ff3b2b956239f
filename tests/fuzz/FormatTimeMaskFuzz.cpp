// FormatTimeMask with any mask, any date value (NaN, infinities, huge, negative, denormal) and
// locale settings whose separators may be the zero character. It must never fail, never give
// more than 256 characters, and the compiled mask of the file producers must give the same text.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <string>

#include "logging/uFormatTimeMask.h"
#include "tests/fuzz/uFuzzSupport.h"

namespace {

// Values where the decoding changes behaviour; any other bit pattern comes from the input.
constexpr std::array<double, 12> EdgeValues = {
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    std::numeric_limits<double>::denorm_min(),
    9.0e18 / 86'400'000.0,  // the largest count of milliseconds that is decoded
    -9.0e18 / 86'400'000.0,
    -693594.0,            // 1 January of year 1
    -0.5 / 86'400'000.0,  // half a millisecond before the epoch
    45358.99999999421,    // within half a millisecond before midnight
    0.0,
};

TFormatSettings SettingsFrom(FuzzedDataProvider& input) {
  TFormatSettings settings;
  settings.DateSeparator = input.ConsumeIntegral<char>();
  settings.TimeSeparator = input.ConsumeIntegral<char>();
  if (input.ConsumeBool()) {
    // Masks of their own, nested one level below the mask under test.
    settings.ShortDateFormat = input.ConsumeRandomLengthString(32);
    settings.LongDateFormat = input.ConsumeRandomLengthString(32);
    settings.ShortTimeFormat = input.ConsumeRandomLengthString(32);
    settings.LongTimeFormat = input.ConsumeRandomLengthString(32);
    settings.TimeAMString = input.ConsumeRandomLengthString(8);
    settings.TimePMString = input.ConsumeRandomLengthString(8);
  }
  return settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::uint8_t choice = input.ConsumeIntegral<std::uint8_t>();
  double value = 0;
  if (choice < EdgeValues.size()) {
    value = EdgeValues[choice];
  } else if (choice < 128) {
    value = input.ConsumeFloatingPoint<double>();
  } else {
    value = std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
  }
  const TFormatSettings settings = SettingsFrom(input);
  const std::string mask = input.ConsumeRemainingBytesAsString();

  const std::string text = FormatTimeMask(mask, value, settings);
  FuzzCheck(text.size() <= 256, "the result holds at most 256 characters");

  const TTimeMask compiled(mask, settings);
  FuzzCheck(compiled.Format(value) == text, "the compiled mask gives the same text");
  std::string appended = "prefix";
  compiled.AppendTo(appended, value);
  FuzzCheck(appended == "prefix" + text, "AppendTo appends the text and keeps what was there");

  const std::string defaults = FormatTimeMask(mask, value);
  FuzzCheck(defaults.size() <= 256, "the process settings give at most 256 characters too");
  return 0;
}

#include "platform/uLocale.h"

const TFormatSettings& ProcessFormatSettings() {
  // Initialised once, thread-safely, on the first call.
  static const TFormatSettings settings = ReadLocaleFormatSettings();
  return settings;
}

#include "platform/uDeviceFileName.h"

#include <array>

namespace {

char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsUpper(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (Upper(text[i]) != upper[i]) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool IsWindowsDeviceName(std::string_view part) {
  // The extension does not count, nor do blanks before it: "NUL .txt" is the device too.
  std::string_view base = part.substr(0, part.find('.'));
  while (!base.empty() && base.back() == ' ') {
    base.remove_suffix(1);
  }
  static constexpr std::array<std::string_view, 6> Plain = {"CON", "PRN",    "AUX",
                                                            "NUL", "CONIN$", "CONOUT$"};
  for (const std::string_view name : Plain) {
    if (EqualsUpper(base, name)) {
      return true;
    }
  }
  if (base.size() == 4 && base[3] >= '1' && base[3] <= '9') {
    const std::string_view stem = base.substr(0, 3);
    return EqualsUpper(stem, "COM") || EqualsUpper(stem, "LPT");
  }
  return false;
}

#pragma once

#include <string>
#include <string_view>

// Appends text as a JSON string, quotes included, losing no byte. Texts are byte strings, not
// necessarily UTF-8: well-formed UTF-8 is kept as it is; '"', '\\' and the control characters
// 0x00-0x1F and 0x7F are escaped (\" \\ \n \r \t, else \u00XX); every byte that is not part of
// well-formed UTF-8 becomes the escape of a lone low surrogate \uDCXX, XX being the byte, so the
// output is always valid UTF-8 and the bytes can be had back (see uForwardRecord.h).
//   a"b     => "a\"b"
//   tab\x09 => "tab\t"
//   caf\xE9 => "caf\udce9"
// Any thread.
void AppendJsonString(std::string& out, std::string_view text);

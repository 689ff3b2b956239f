#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/uDateTime.h"
#include "protocol/uRecordLayout.h"

// The record layout and its decoder live in protocol/uRecordLayout.h, shared with the clients
// and tools; this adds what only the server parses.

// A syslog datagram's text: the bytes as they are, less every trailing byte of code 0 to 32. The
// view is into data.
//   "<13>hello \r\n\0" => "<13>hello";  "  x" => "  x";  "   " => ""
std::string_view SyslogText(const std::uint8_t* data, std::uint32_t size);

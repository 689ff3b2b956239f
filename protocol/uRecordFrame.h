#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "protocol/uRecordLayout.h"
#include "protocol/uTPKTFrame.h"

// One log record in its TPKT frame, as a client writes it to the server's TCP port.

// The most bytes that the four texts of one record may have together: a frame's payload less
// the record header (65531 - 45).
inline constexpr std::size_t MaxRecordTextBytes = TPKTMaxPayloadSize - LogRecordHeaderSize;

// The frame size of a record with these texts (4 + 45 + the four lengths).
std::size_t RecordFrameSize(std::string_view application, std::string_view module,
                            std::string_view prefix, std::string_view text);

// Appends the frame of one record to out. False (out unchanged) when the texts together are
// longer than MaxRecordTextBytes.
bool AppendRecordFrame(std::string& out, std::string_view application, std::string_view module,
                       std::string_view prefix, std::string_view text, double clientTime);

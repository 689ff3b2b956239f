#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/uDateTime.h"

// One record of a forwarder's journal as it is stored (little-endian):
//   clientTime, serverTime  8 bytes each, the bits of the double
//   peerPort                2
//   five lengths            4 each: address, application, module, prefix, text
//   the five texts          one after another
// Texts may hold any bytes; the library sees each up to its first zero byte, as it would have.
struct TForwardJournalRecord {
  TDateTime ClientTime = 0;
  TDateTime ServerTime = 0;
  std::uint16_t PeerPort = 0;
  std::string PeerAddress, Application, Module, Prefix, Text;
};

// Appends the record's bytes to out.
void AppendForwardJournalRecord(std::string& out, std::string_view peerAddress,
                                std::uint16_t peerPort, std::string_view application,
                                std::string_view module, std::string_view prefix,
                                std::string_view text, TDateTime clientTime, TDateTime serverTime);

// False, record unspecified, when bytes is not exactly one record.
bool ParseForwardJournalRecord(std::string_view bytes, TForwardJournalRecord& record);

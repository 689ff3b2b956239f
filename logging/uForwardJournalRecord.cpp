#include "logging/uForwardJournalRecord.h"

#include <array>
#include <bit>

namespace {

constexpr std::size_t HeaderBytes = 8 + 8 + 2 + 5 * 4;

void Put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

std::uint64_t Get(std::string_view in, std::size_t at, int bytes) {
  std::uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

}  // namespace

void AppendForwardJournalRecord(std::string& out, std::string_view peerAddress,
                                std::uint16_t peerPort, std::string_view application,
                                std::string_view module, std::string_view prefix,
                                std::string_view text, TDateTime clientTime, TDateTime serverTime) {
  const std::array<std::string_view, 5> texts{peerAddress, application, module, prefix, text};
  Put(out, std::bit_cast<std::uint64_t>(static_cast<double>(clientTime)), 8);
  Put(out, std::bit_cast<std::uint64_t>(static_cast<double>(serverTime)), 8);
  Put(out, peerPort, 2);
  for (const std::string_view part : texts) {
    Put(out, part.size(), 4);
  }
  for (const std::string_view part : texts) {
    out.append(part);
  }
}

bool ParseForwardJournalRecord(std::string_view bytes, TForwardJournalRecord& record) {
  if (bytes.size() < HeaderBytes) {
    return false;
  }
  std::array<std::uint64_t, 5> lengths{};
  std::uint64_t total = HeaderBytes;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    lengths[i] = Get(bytes, 18 + 4 * i, 4);
    total += lengths[i];
  }
  if (total != bytes.size()) {
    return false;
  }
  record.ClientTime = std::bit_cast<double>(Get(bytes, 0, 8));
  record.ServerTime = std::bit_cast<double>(Get(bytes, 8, 8));
  record.PeerPort = static_cast<std::uint16_t>(Get(bytes, 16, 2));
  std::string* const parts[] = {&record.PeerAddress, &record.Application, &record.Module,
                                &record.Prefix, &record.Text};
  std::size_t at = HeaderBytes;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    parts[i]->assign(bytes.substr(at, lengths[i]));
    at += lengths[i];
  }
  return true;
}

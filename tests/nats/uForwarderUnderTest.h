#pragma once

// The NATS forwarder library under test (TForwarderLibraryUnderTest), and the records and
// settings of the JetStream tests.

#include <cstdio>
#include <string>

#include "plugins/forward/uForwardRecord.h"
#include "tests/forward/TForwarderLibraryUnderTest.h"
#include "tests/uTestDirectory.h"

namespace natstest {

// The NATS forwarder; name: the library copy's name without extension, its settings go to
// name + ".conf".
class TForwarderUnderTest : public TForwarderLibraryUnderTest {
 public:
  TForwarderUnderTest(const TTestDirectory& dir, const std::string& name,
                      const std::string& settings)
      : TForwarderLibraryUnderTest(KELVRA_NATS_FORWARDER, dir.File(name + ".so"),
                                   dir.File(name + ".conf"), settings) {}
};

// Record number `number` of client `client` (0-9): address 10.0.0.<client+1>, its own port; the
// text carries both numbers so the stream can be checked record by record.
inline TForwardRecord ClientRecord(int client, int number) {
  TForwardRecord record;
  record.PeerAddress = "10.0.0." + std::to_string(client + 1);
  record.PeerPort = static_cast<std::uint16_t>(40000 + client);
  record.Application = "load";
  record.Module = "m";
  record.Text = "c" + std::to_string(client) + " n" + std::to_string(number);
  record.ServerTime = EncodeDateTime(2024, 3, 7, 14, 0, 0, 0) + number / 86'400'000.0;
  record.ClientTime = record.ServerTime;
  return record;
}

// The client and number of a ClientRecord from its JSON in the stream; false for anything else.
inline bool ParseClientRecord(const std::string& json, int& client, int& number) {
  TForwardRecord record;
  std::string error;
  return ParseRecordJson(json, record, error) &&
         std::sscanf(record.Text.c_str(), "c%d n%d", &client, &number) == 2;
}

inline std::string Settings(const std::string& servers, const std::string& extra = "",
                            int replicas = 1) {
  return "[Forwarder]\nServers=" + servers + "\nFlushTimeoutMs=10000\nMaxOutstandingAcks=1000\n" +
         extra + "[Stream]\nName=KELVRA\nSubjects=kelvra.>\nReplicas=" + std::to_string(replicas) +
         "\n";
}

}  // namespace natstest

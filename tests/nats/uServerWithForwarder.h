#pragma once

// The real server with the NATS forwarder in its [Forward] section, for the end-to-end tests that
// feed it over TCP and look into the stream.

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "plugins/forward/uForwardRecord.h"
#include "tests/nats/uForwarderUnderTest.h"
#include "tests/nats/uNatsServerFixture.h"
#include "tests/server/uServerUnderTest.h"

namespace natstest {

// The library copy and its settings in the server's directory, named in [Forward] as "Nats".
inline void ConfigureServerForwarding(e2e::TServerUnderTest& server, const std::string& settings,
                                      const std::string& commonLines = "") {
  server.Configure(commonLines);
  // The forwarder runs in a plug-in host unless commonLines say PluginIsolation=0.
  server.CopyBesideServer(KELVRA_PLUGIN_HOST);
  const std::string library = server.Dir() + "NatsJetStreamForwarder.so";
  std::filesystem::remove(library);
  std::filesystem::copy_file(KELVRA_NATS_FORWARDER, library);
  std::ofstream(server.Dir() + "NatsJetStreamForwarder.conf") << settings;
  std::ofstream(server.ConfigPath(), std::ios::app) << "[Forward]\nNats=" << library << "\n";
}

// A record "c<client> n<number>" of the load tests, as one TPKT frame.
inline std::string ClientFrame(int client, int number) {
  return e2e::RecordFrame("load", "m", "",
                          "c" + std::to_string(client) + " n" + std::to_string(number), LocalNow());
}

// The (client, number) of each record in the stream, in stream order; a message that is not such
// a record comes back as (-1, -1), so it shows in the counts.
inline std::vector<std::pair<int, int>> ClientRecordsInStream(TJetStreamProbe& probe,
                                                              std::size_t expected) {
  std::vector<std::pair<int, int>> found;
  for (const auto& [subject, data] : probe.ReadAll("KELVRA", "kelvra.>", expected)) {
    int client = -1;
    int number = -1;
    if (!ParseClientRecord(data, client, number)) {
      client = number = -1;
    }
    found.emplace_back(client, number);
  }
  return found;
}

}  // namespace natstest

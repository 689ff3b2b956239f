// The real server with a [Forward] line for the Kafka forwarder, sending to a mock cluster in the
// test process: records sent over TCP and UDP reach Kafka and, unchanged, the files.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "plugins/forward/uForwardRecord.h"
#include "tests/kafka/uKafkaMockCluster.h"
#include "tests/server/uServerUnderTest.h"

using namespace e2e;

namespace {

// The record lines in the log tree, the server's own diagnostic log left out.
std::size_t RecordLines(const TServerUnderTest& server) {
  std::size_t lines = 0;
  for (const auto& file : FilesBelow(server.LogRoot())) {
    if (file.string().rfind(server.DiagnosticRoot(), 0) != 0) {
      const std::string text = ReadTextFile(file.string());
      lines += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }
  }
  return lines;
}

}  // namespace

TEST(KafkaServerTest, EveryRecordOfTheServerReachesKafkaBesideItsFile) {
  kafkatest::TKafkaMockCluster cluster("kelvra-logs");
  TServerUnderTest server;
  // The forwarder runs in a plug-in host (PluginIsolation's default).
  server.CopyBesideServer(KELVRA_PLUGIN_HOST);
  const std::string library = server.Dir() + "KafkaForwarder.so";
  std::filesystem::copy_file(KELVRA_KAFKA_FORWARDER, library);
  WriteTextFile(server.Dir() + "KafkaForwarder.conf",
                "[Forwarder]\nServers=" + cluster.Bootstraps() +
                    "\nTemplate=kelvra-logs\n[Spool]\nDirectory=" + server.Dir() +
                    "spool\n[Kafka]\nlog_level=0\n");
  server.Configure("LogMode=1\n[Forward]\nKafka=" + library + "\n");
  server.StartAndWaitForListener();

  constexpr int Clients = 2;
  constexpr int PerClient = 1000;
  for (int c = 0; c < Clients; ++c) {
    TLoopbackClient client(server.TcpPort());
    std::string frames;
    for (int n = 0; n < PerClient; ++n) {
      frames +=
          RecordFrame("App" + std::to_string(c), "Mod", "", "record " + std::to_string(n), 45358.5);
    }
    ASSERT_TRUE(client.Send(frames));
  }
  ASSERT_TRUE(SendDatagram(server.UdpPort(), "<13>a syslog line"));
  ASSERT_TRUE(WaitUntil([&] { return RecordLines(server) == Clients * PerClient + 1u; }))
      << RecordLines(server) << " lines\n"
      << server.DiagnosticLog() << server.Output();
  ASSERT_TRUE(server.Stop());
  EXPECT_EQ(server.Process().ExitCode(), 0) << server.Output();

  const std::string total = std::to_string(Clients * PerClient + 1);
  EXPECT_NE(server.DiagnosticLog().find("FORWARD Kafka: offered " + total + ", delivered " + total +
                                        ", queue full 0, lost at stop 0; sent " + total +
                                        ", acknowledged " + total + ", spooled 0, dropped 0"),
            std::string::npos)
      << server.DiagnosticLog() << server.Output();
  const auto& consumed = cluster.Consume(Clients * PerClient + 1, 30s);
  ASSERT_EQ(consumed.size(), Clients * PerClient + 1u);
  std::set<std::string> seen;
  for (const auto& message : consumed) {
    TForwardRecord record;
    std::string error;
    ASSERT_TRUE(ParseRecordJson(message.Value, record, error)) << error;
    EXPECT_EQ(record.PeerAddress, "127.0.0.1");
    seen.insert(record.Application + "/" + record.Text);
  }
  EXPECT_EQ(seen.size(), Clients * PerClient + 1u);
  EXPECT_EQ(seen.count("SYSLOG/<13>a syslog line"), 1u);
  EXPECT_EQ(seen.count("App1/record 999"), 1u);
}

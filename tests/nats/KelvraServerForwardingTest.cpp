// The real server with the NATS forwarder in its [Forward] section, fed over TCP: a kill -9 loses
// no record the server took, and the stream writer rebuilds the server's own file tree.

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "tests/nats/uForwarderUnderTest.h"
#include "tests/nats/uNatsServerFixture.h"
#include "tests/nats/uTreeCompare.h"
#include "tests/server/uServerUnderTest.h"

namespace natstest {
namespace {

// The server with the forwarder beside it: the library copy and its settings in the server's
// directory, named in [Forward].
void ConfigureForwarding(e2e::TServerUnderTest& server, const std::string& natsUrl) {
  server.Configure();
  // The forwarder runs in a plug-in host (PluginIsolation's default).
  server.CopyBesideServer(KELVRA_PLUGIN_HOST);
  const std::string library = server.Dir() + "NatsJetStreamForwarder.so";
  std::filesystem::remove(library);
  std::filesystem::copy_file(KELVRA_NATS_FORWARDER, library);
  std::ofstream(server.Dir() + "NatsJetStreamForwarder.conf") << Settings(natsUrl);
  std::ofstream(server.ConfigPath(), std::ios::app) << "[Forward]\nNats=" << library << "\n";
}

std::string Frame(int client, int number) {
  return e2e::RecordFrame("load", "m", "",
                          "c" + std::to_string(client) + " n" + std::to_string(number), LocalNow());
}

// The (client, number) of every record line in the server's own files.
std::set<std::pair<int, int>> RecordsInFiles(const std::string& root) {
  std::set<std::pair<int, int>> found;
  static const std::regex line(R"(c(\d+) n(\d+)\r)");
  for (const auto& [path, bytes] : ReadTree(root)) {
    if (path.rfind("127.0.0.1/load/", 0) != 0) {
      continue;
    }
    for (std::sregex_iterator it(bytes.begin(), bytes.end(), line), end; it != end; ++it) {
      found.insert({std::stoi((*it)[1]), std::stoi((*it)[2])});
    }
  }
  return found;
}

std::set<std::pair<int, int>> RecordsInStream(TJetStreamProbe& probe, std::size_t expected) {
  std::set<std::pair<int, int>> found;
  for (const auto& [subject, data] : probe.ReadAll("KELVRA", "kelvra.>", expected)) {
    TForwardRecord record;
    std::string error;
    int client = -1;
    int number = -1;
    if (ParseRecordJson(data, record, error) &&
        std::sscanf(record.Text.c_str(), "c%d n%d", &client, &number) == 2) {
      found.insert({client, number});
    }
  }
  return found;
}

// Records the server has routed are in its files; each pass reaches the forwarder's journal with
// one write before it reaches the files, and leaves it only once the forwarder's spool holds it. A
// kill -9 mid-run then loses none of them: the next start delivers what the journal still held.
TEST(KelvraServerForwardingTest, KillNineLosesNoRecordTheServerTook) {
  TTestDirectory dir;
  TNatsServer nats("one", dir.File("store"));
  nats.Start();
  e2e::TServerUnderTest server;
  ConfigureForwarding(server, nats.Url());
  server.StartAndWaitForListener();
  constexpr int Clients = 2;
  constexpr int Batches = 10;
  constexpr int PerBatch = 1000;
  std::vector<std::unique_ptr<TLoopbackClient>> clients;
  for (int c = 0; c < Clients; ++c) {
    clients.push_back(std::make_unique<TLoopbackClient>(server.TcpPort()));
    ASSERT_TRUE(clients.back()->Connected());
  }
  for (int batch = 0; batch < Batches; ++batch) {
    for (int c = 0; c < Clients; ++c) {
      std::string frames;
      for (int i = 0; i < PerBatch; ++i) {
        frames += Frame(c, batch * PerBatch + i);
      }
      clients[static_cast<std::size_t>(c)]->Send(frames);
    }
    if (batch == Batches / 2) {
      // Mid-run, with records on their way through the server and the forwarder; on a loaded
      // machine the server may not have stored any yet, so it is given until the first is.
      WaitUntil([&] { return !RecordsInFiles(server.LogRoot()).empty(); }, 10s);
      server.Process().Kill();
      server.Process().WaitFor(10'000);
      break;
    }
  }
  const std::set<std::pair<int, int>> taken = RecordsInFiles(server.LogRoot());
  ASSERT_GT(taken.size(), 0u);
  clients.clear();
  // The next start resends what the spool holds unconfirmed.
  server.StartAndWaitForListener();
  TJetStreamProbe probe(nats.Url());
  // Waits for all, but reads what came in any case, so a loss shows as a count.
  WaitUntil([&] { return probe.Count("KELVRA") >= static_cast<long long>(taken.size()); }, 30s);
  const std::set<std::pair<int, int>> streamed = RecordsInStream(probe, taken.size());
  std::size_t missing = 0;
  for (const auto& record : taken) {
    missing += streamed.count(record) == 0 ? 1 : 0;
  }
  EXPECT_EQ(missing, 0u) << "of " << taken.size() << " records in the server's files; "
                         << server.Output();
  EXPECT_TRUE(server.Stop());
}

TEST(KelvraServerForwardingTest, WriterRebuildsTheServersFileTree) {
  TTestDirectory dir;
  TNatsServer nats("one", dir.File("store"));
  nats.Start();
  e2e::TServerUnderTest server;
  ConfigureForwarding(server, nats.Url());
  server.StartAndWaitForListener();
  constexpr int Numbers = 2000;
  {
    TLoopbackClient first(server.TcpPort());
    TLoopbackClient second(server.TcpPort());
    std::string a, b;
    for (int n = 0; n < Numbers; ++n) {
      a += Frame(0, n);
      b += Frame(1, n);
    }
    ASSERT_TRUE(first.Send(a));
    ASSERT_TRUE(second.Send(b));
    ASSERT_TRUE(WaitUntil([&] { return RecordsInFiles(server.LogRoot()).size() == 2u * Numbers; }));
  }
  ASSERT_TRUE(server.Stop());
  const std::string written = dir.File("written") + PathDelimiter;
  TChildProcess writer({KELVRA_STREAM_WRITER,
                        {"--base", written, "--servers", nats.Url(), "--exit-when-idle", "2000"},
                        "",
                        {},
                        dir.File("writer.out")});
  ASSERT_TRUE(writer.WaitFor(120'000));
  // The server's own record files (its diagnostic log aside), byte for byte.
  auto expected = ReadTree(server.LogRoot());
  for (auto it = expected.begin(); it != expected.end();) {
    it = it->first.rfind("127.0.0.1/", 0) == 0 ? std::next(it) : expected.erase(it);
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(ReadTree(written), expected);
}

}  // namespace
}  // namespace natstest

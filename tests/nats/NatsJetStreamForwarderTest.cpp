#include <gtest/gtest.h>

#include <map>
#include <set>

#include "tests/nats/uForwarderUnderTest.h"
#include "tests/nats/uNatsServerFixture.h"
#include "tests/uLoadSize.h"

namespace natstest {
namespace {

// What the stream holds, record by record.
struct TStreamContent {
  std::size_t Messages = 0;
  std::size_t Malformed = 0;
  std::map<std::pair<int, int>, int> Copies;  // (client, number) => times present
  bool OrderKept = true;                      // per client, numbers rising in stream order
  std::set<std::string> Subjects;
};

TStreamContent ReadStream(TJetStreamProbe& probe, std::size_t expected) {
  TStreamContent content;
  std::map<int, int> last;
  for (const auto& [subject, data] : probe.ReadAll("KELVRA", "kelvra.>", expected)) {
    ++content.Messages;
    content.Subjects.insert(subject);
    int client = -1;
    int number = -1;
    if (!ParseClientRecord(data, client, number)) {
      ++content.Malformed;
      continue;
    }
    ++content.Copies[{client, number}];
    if (last.count(client) && number <= last[client]) {
      content.OrderKept = false;
    }
    last[client] = number;
  }
  return content;
}

// Every record of clients x numbers present exactly once.
void ExpectExactlyOnce(const TStreamContent& content, int clients, int numbers) {
  EXPECT_EQ(content.Malformed, 0u);
  EXPECT_EQ(content.Messages, static_cast<std::size_t>(clients * numbers));
  std::size_t missing = 0;
  std::size_t doubled = 0;
  for (int c = 0; c < clients; ++c) {
    for (int n = 0; n < numbers; ++n) {
      const auto found = content.Copies.find({c, n});
      missing += found == content.Copies.end() ? 1 : 0;
      doubled += found != content.Copies.end() && found->second > 1 ? 1 : 0;
    }
  }
  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(doubled, 0u);
}

bool WaitForCount(TJetStreamProbe& probe, long long count) {
  return WaitUntil([&] { return probe.Count("KELVRA") >= count; });
}

TEST(NatsJetStreamForwarderTest, HundredThousandRecordsOfTenClientsAreInTheStreamExactlyOnce) {
  TTestDirectory dir;
  TNatsServer server("one", dir.File("store"));
  server.Start();
  TForwarderUnderTest forwarder(dir, "Nats", Settings(server.Url()));
  forwarder.Initialize();
  constexpr int Clients = 10;
  constexpr int Numbers = LoadSize(10'000);
  // Interleaved, as records of ten connections reach the server.
  for (int n = 0; n < Numbers; ++n) {
    for (int c = 0; c < Clients; ++c) {
      forwarder.Add(ClientRecord(c, n));
    }
  }
  TJetStreamProbe probe(server.Url());
  ASSERT_TRUE(WaitForCount(probe, Clients * Numbers)) << probe.Count("KELVRA");
  forwarder.Finalize();
  const TLogProviderStatistics counts = forwarder.Statistics();
  EXPECT_EQ(counts.acknowledged, static_cast<unsigned long long>(Clients * Numbers));
  EXPECT_EQ(counts.spooled, 0u);
  EXPECT_EQ(counts.dropped, 0u);
  const TStreamContent content = ReadStream(probe, Clients * Numbers);
  ExpectExactlyOnce(content, Clients, Numbers);
  EXPECT_TRUE(content.OrderKept);
  EXPECT_EQ(content.Subjects.count("kelvra.10_0_0_1.load.m"), 1u);
  EXPECT_EQ(content.Subjects.size(), 10u);
}

TEST(NatsJetStreamForwarderTest, StopWithRecordsInFlightLosesNothing) {
  TTestDirectory dir;
  TNatsServer server("one", dir.File("store"));
  server.Start();
  // Records are added until a backlog waits, however fast the machine and the server are, so the
  // stop surely finds records in flight or waiting.
  constexpr int MostNumbers = 200'000;
  constexpr unsigned long long Backlog = 5'000;
  int numbers = 0;
  {
    // No time to flush: what is in flight or waiting at the stop stays in the spool.
    TForwarderUnderTest forwarder(
        dir, "Nats",
        "[Forwarder]\nServers=" + server.Url() + "\nFlushTimeoutMs=0\n[Stream]\nName=KELVRA\n");
    forwarder.Initialize();
    while (numbers < MostNumbers) {
      for (int n = 0; n < 1000; ++n) {
        forwarder.Add(ClientRecord(0, numbers++));
      }
      if (forwarder.Statistics().spooled >= Backlog) {
        break;
      }
    }
    forwarder.Finalize();
    const TLogProviderStatistics counts = forwarder.Statistics();
    EXPECT_GT(counts.spooled, 0u) << "the stop came too late to find records in flight";
    EXPECT_EQ(counts.acknowledged + counts.spooled, static_cast<unsigned long long>(numbers));
  }
  // Records in flight at the stop may have been stored without their ack arriving. The next start
  // sends the rest; resends that were stored already are removed by the duplicate window.
  TJetStreamProbe probe(server.Url());
  TForwarderUnderTest next(dir, "Nats", Settings(server.Url()));
  next.Initialize();
  ASSERT_TRUE(WaitForCount(probe, numbers)) << probe.Count("KELVRA");
  next.Finalize();
  EXPECT_EQ(next.Statistics().spooled, 0u);
  ExpectExactlyOnce(ReadStream(probe, numbers), 1, numbers);
}

TEST(NatsJetStreamForwarderTest, ServerDownAtStartAndUpLaterLosesNothingAndKeepsOrder) {
  TTestDirectory dir;
  TNatsServer server("late", dir.File("store"));
  TForwarderUnderTest forwarder(dir, "Nats", Settings(server.Url()));
  forwarder.Initialize();
  constexpr int Clients = 3;
  constexpr int Numbers = 3000;
  for (int n = 0; n < Numbers; ++n) {
    for (int c = 0; c < Clients; ++c) {
      forwarder.Add(ClientRecord(c, n));
    }
  }
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(forwarder.Statistics().spooled, static_cast<unsigned long long>(Clients * Numbers));
  server.Start();
  TJetStreamProbe probe(server.Url());
  ASSERT_TRUE(WaitForCount(probe, Clients * Numbers)) << probe.Count("KELVRA");
  forwarder.Finalize();
  const TStreamContent content = ReadStream(probe, Clients * Numbers);
  ExpectExactlyOnce(content, Clients, Numbers);
  EXPECT_TRUE(content.OrderKept);
}

TEST(NatsJetStreamForwarderTest, LeaderKilledMidRunLosesNothingAndShowsNoDuplicates) {
  TTestDirectory dir;
  TNatsCluster cluster(dir);
  cluster.Start();
  TForwarderUnderTest forwarder(dir, "Nats", Settings(cluster.Urls(), "", 3));
  forwarder.Initialize();
  constexpr int Numbers = LoadSize(20'000);
  int n = 0;
  for (; n < Numbers / 2; ++n) {
    forwarder.Add(ClientRecord(0, n));
  }
  // The stream's leader, once the stream exists and some records are in.
  TJetStreamProbe probe(cluster.Urls());
  ASSERT_TRUE(WaitForCount(probe, 1000));
  std::string leader;
  jsStreamInfo* info = nullptr;
  ASSERT_EQ(js_GetStreamInfo(&info, probe.Js(), "KELVRA", nullptr, nullptr), NATS_OK);
  if (info->Cluster != nullptr && info->Cluster->Leader != nullptr) {
    leader = info->Cluster->Leader;
  }
  jsStreamInfo_Destroy(info);
  ASSERT_FALSE(leader.empty());
  const int index = leader[1] - '0';
  ASSERT_GE(index, 0);
  ASSERT_LT(index, 3);
  cluster.Servers[static_cast<std::size_t>(index)]->Kill();
  for (; n < Numbers; ++n) {
    forwarder.Add(ClientRecord(0, n));
  }
  ASSERT_TRUE(WaitForCount(probe, Numbers)) << probe.Count("KELVRA");
  forwarder.Finalize();
  EXPECT_EQ(forwarder.Statistics().spooled, 0u);
  ExpectExactlyOnce(ReadStream(probe, Numbers), 1, Numbers);
}

TEST(NatsJetStreamForwarderTest, BadSettingsSpoolUntilMendedAndRestarted) {
  TTestDirectory dir;
  TNatsServer server("one", dir.File("store"));
  server.Start();
  constexpr int Numbers = 500;
  {
    TForwarderUnderTest broken(dir, "Nats", Settings(server.Url(), "MaxOutstandingAcks=lots\n"));
    broken.Initialize();
    for (int n = 0; n < Numbers; ++n) {
      broken.Add(ClientRecord(0, n));
    }
    broken.Finalize();
    EXPECT_EQ(broken.Statistics().spooled, static_cast<unsigned long long>(Numbers));
    EXPECT_EQ(broken.Statistics().sent, 0u);
  }
  TJetStreamProbe probe(server.Url());
  EXPECT_EQ(probe.Count("KELVRA"), -1);  // never connected: no stream made
  TForwarderUnderTest mended(dir, "Nats", Settings(server.Url()));
  mended.Initialize();
  ASSERT_TRUE(WaitForCount(probe, Numbers));
  mended.Finalize();
  ExpectExactlyOnce(ReadStream(probe, Numbers), 1, Numbers);
}

TEST(NatsJetStreamForwarderTest, SpoolDiskLimitDropsAnExactCount) {
  TTestDirectory dir;
  // Nothing listens on this port: every record stays in the spool until its disk limit.
  TForwarderUnderTest forwarder(
      dir, "Nats",
      Settings(
          "nats://127.0.0.1:" + std::to_string(FreePort()),
          "FlushTimeoutMs=500\n[Spool]\nDiskLimit=64K\nMemoryLimit=64K\nWhenFull=DropNewest\n"));
  forwarder.Initialize();
  constexpr int Numbers = 5000;
  for (int n = 0; n < Numbers; ++n) {
    forwarder.Add(ClientRecord(0, n));
  }
  forwarder.Finalize();
  const TLogProviderStatistics counts = forwarder.Statistics();
  EXPECT_GT(counts.dropped, 0u);
  EXPECT_GT(counts.spooled, 0u);
  EXPECT_EQ(counts.dropped + counts.spooled, static_cast<unsigned long long>(Numbers));
}

}  // namespace
}  // namespace natstest

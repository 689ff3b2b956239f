#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plugins/forward/uForwardRecord.h"
#include "tests/kafka/uKafkaForwarderUnderTest.h"
#include "tests/kafka/uKafkaMockCluster.h"
#include "tests/uTestDirectory.h"

using namespace kafkatest;
using namespace std::chrono_literals;

namespace {

constexpr char Topic[] = "kelvra-logs";

std::string Settings(const TTestDirectory& dir, const std::string& servers,
                     std::uint32_t flushTimeoutMs = 10000, const std::string& kafkaLines = "") {
  return "[Forwarder]\nServers=" + servers + "\nTemplate=" + Topic +
         "\nFlushTimeoutMs=" + std::to_string(flushTimeoutMs) +
         "\nMaxOutstandingAcks=2000\n[Spool]\nDirectory=" + dir.File("spool") +
         "\n[Kafka]\nlinger.ms=2\nlog_level=0\n" + kafkaLines;
}

// Record n of stream s (one of streams senders), a text with a byte that is not UTF-8.
TForwardRecord Record(int s, int n) {
  TForwardRecord record;
  record.ServerTime = 45358.5 + n / 86'400'000.0;
  record.ClientTime = n % 2 == 0 ? 0 : 45358.25;
  record.PeerAddress = "10.0.0." + std::to_string(1 + s);
  record.PeerPort = static_cast<std::uint16_t>(40000 + s);
  record.Application = "App" + std::to_string(s);
  record.Module = "Mod";
  record.Prefix = s % 2 == 0 ? "" : "p";
  record.Text = "record " + std::to_string(n) + " caf\xE9";
  return record;
}

// Waits until the library counts at least acknowledged records confirmed.
bool WaitForAcknowledged(TKafkaForwarderUnderTest& forwarder, std::uint64_t acknowledged,
                         std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (forwarder.Statistics().acknowledged < acknowledged) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Each record of streams x perStream found, each stream in order in one partition; returns the
// number of duplicates (same record id twice).
std::size_t CheckAllThere(const std::vector<TConsumed>& consumed, int streams, int perStream) {
  std::map<std::string, std::vector<int>> byKey;
  std::map<std::string, std::set<std::int32_t>> partitions;
  std::set<std::string> ids;
  std::size_t duplicates = 0;
  for (const TConsumed& message : consumed) {
    TForwardRecord record;
    std::string error;
    EXPECT_TRUE(ParseRecordJson(message.Value, record, error)) << error << ": " << message.Value;
    EXPECT_EQ(message.Key, RecordStreamKey(record));
    EXPECT_FALSE(message.RecordId.empty());
    if (!ids.insert(message.RecordId).second) {
      ++duplicates;
      continue;
    }
    const int n = std::stoi(record.Text.substr(7));
    const int s = std::stoi(record.Application.substr(3));
    EXPECT_EQ(record, Record(s, n));
    byKey[message.Key].push_back(n);
    partitions[message.Key].insert(message.Partition);
  }
  EXPECT_EQ(byKey.size(), static_cast<std::size_t>(streams));
  for (const auto& [key, numbers] : byKey) {
    SCOPED_TRACE(key);
    EXPECT_EQ(partitions[key].size(), 1u);
    EXPECT_EQ(numbers.size(), static_cast<std::size_t>(perStream));
    int misplaced = 0;
    for (int n = 0; n < perStream && n < static_cast<int>(numbers.size()); ++n) {
      misplaced += numbers[n] == n ? 0 : 1;
    }
    EXPECT_EQ(misplaced, 0);
  }
  return duplicates;
}

}  // namespace

TEST(KafkaForwarderTest, EveryRecordArrivesOnceWithItsStreamKeyAndInOrder) {
  TTestDirectory dir;
  TKafkaMockCluster cluster(Topic);
  TKafkaForwarderUnderTest forwarder(dir, Settings(dir, cluster.Bootstraps()));
  forwarder.Initialize();
  constexpr int Streams = 10;
  constexpr int PerStream = 2000;
  for (int n = 0; n < PerStream; ++n) {
    for (int s = 0; s < Streams; ++s) {
      forwarder.Add(Record(s, n));
    }
  }
  ASSERT_TRUE(WaitForAcknowledged(forwarder, Streams * PerStream, 60s));
  forwarder.Finalize();
  const auto counts = forwarder.Statistics();
  EXPECT_EQ(counts.acknowledged, static_cast<std::uint64_t>(Streams * PerStream));
  EXPECT_EQ(counts.spooled, 0u);
  EXPECT_EQ(counts.dropped, 0u);
  const auto& consumed = cluster.Consume(Streams * PerStream, 30s);
  EXPECT_EQ(CheckAllThere(consumed, Streams, PerStream), 0u);
  EXPECT_EQ(consumed.size(), static_cast<std::size_t>(Streams * PerStream));
}

TEST(KafkaForwarderTest, BrokerErrorsDelayRecordsButLoseOrDoubleNone) {
  TTestDirectory dir;
  TKafkaMockCluster cluster(Topic);
  TKafkaForwarderUnderTest forwarder(dir, Settings(dir, cluster.Bootstraps()));
  forwarder.Initialize();
  constexpr int Streams = 4;
  constexpr int PerStream = 500;
  for (int n = 0; n < PerStream; ++n) {
    if (n == 100) {
      // An outage in the middle: leaders move and replicas lag; produce requests fail for a while.
      cluster.FailProduceRequests(10, RD_KAFKA_RESP_ERR_NOT_LEADER_FOR_PARTITION);
      cluster.FailProduceRequests(10, RD_KAFKA_RESP_ERR_NOT_ENOUGH_REPLICAS);
      cluster.FailProduceRequests(10, RD_KAFKA_RESP_ERR_REQUEST_TIMED_OUT);
    }
    for (int s = 0; s < Streams; ++s) {
      forwarder.Add(Record(s, n));
    }
  }
  ASSERT_TRUE(WaitForAcknowledged(forwarder, Streams * PerStream, 60s));
  forwarder.Finalize();
  const auto& consumed = cluster.Consume(Streams * PerStream, 30s);
  // The idempotent producer stores each retried batch once.
  EXPECT_EQ(CheckAllThere(consumed, Streams, PerStream), 0u);
  EXPECT_EQ(consumed.size(), static_cast<std::size_t>(Streams * PerStream));
}

// Deliveries that fail for good (here: the message time-out passes while every broker is down)
// come back one partition batch after another, while newer records of the same stream still wait
// in the producer. Each failed record is sent again only once nothing is outstanding, so it
// cannot overtake or be overtaken: every stream keeps its order.
TEST(KafkaForwarderTest, FailedDeliveriesAreSentAgainInTheirStreamsOrder) {
  TTestDirectory dir;
  TKafkaMockCluster cluster(Topic);
  TKafkaForwarderUnderTest forwarder(
      dir, Settings(dir, cluster.Bootstraps(), 10000, "message.timeout.ms=1000\n"));
  forwarder.Initialize();
  constexpr int Streams = 3;
  constexpr int PerStream = 400;
  constexpr int Waves = 8;
  cluster.SetBrokersDown(true);
  // Records come in waves during the outage, so their time-outs fall at different moments.
  for (int wave = 0; wave < Waves; ++wave) {
    for (int n = wave * PerStream / Waves; n < (wave + 1) * PerStream / Waves; ++n) {
      for (int s = 0; s < Streams; ++s) {
        forwarder.Add(Record(s, n));
      }
    }
    std::this_thread::sleep_for(400ms);
  }
  cluster.SetBrokersDown(false);
  ASSERT_TRUE(WaitForAcknowledged(forwarder, Streams * PerStream, 60s));
  forwarder.Finalize();
  EXPECT_EQ(forwarder.Statistics().spooled, 0u);
  const auto& consumed = cluster.Consume(Streams * PerStream, 30s);
  CheckAllThere(consumed, Streams, PerStream);
}

TEST(KafkaForwarderTest, AStopDuringAnOutageKeepsTheRecordsForTheNextStart) {
  TTestDirectory dir;
  TKafkaMockCluster cluster(Topic);
  TKafkaForwarderUnderTest forwarder(dir, Settings(dir, cluster.Bootstraps(), 500));
  cluster.SetBrokersDown(true);
  forwarder.Initialize();
  constexpr int Streams = 3;
  constexpr int PerStream = 300;
  for (int n = 0; n < PerStream; ++n) {
    for (int s = 0; s < Streams; ++s) {
      forwarder.Add(Record(s, n));
    }
  }
  forwarder.Finalize();
  auto counts = forwarder.Statistics();
  EXPECT_EQ(counts.acknowledged, 0u);
  EXPECT_EQ(counts.spooled, static_cast<std::uint64_t>(Streams * PerStream));

  cluster.SetBrokersDown(false);
  forwarder.Initialize();
  ASSERT_TRUE(WaitForAcknowledged(forwarder, Streams * PerStream, 60s));
  forwarder.Finalize();
  EXPECT_EQ(forwarder.Statistics().spooled, 0u);
  const auto& consumed = cluster.Consume(Streams * PerStream, 30s);
  // At least once: every record is there, in order per stream (a resend may double one).
  CheckAllThere(consumed, Streams, PerStream);
}

TEST(KafkaForwarderTest, BadSettingsKeepEveryRecordInTheSpoolUntilMended) {
  TTestDirectory dir;
  TKafkaMockCluster cluster(Topic);
  // No servers, and a librdkafka property that does not exist.
  TKafkaForwarderUnderTest forwarder(dir, "[Forwarder]\nTemplate=" + std::string(Topic) +
                                              "\n[Spool]\nDirectory=" + dir.File("spool") +
                                              "\n[Kafka]\nno.such.property=1\n");
  forwarder.Initialize();
  for (int n = 0; n < 100; ++n) {
    forwarder.Add(Record(0, n));
  }
  std::this_thread::sleep_for(200ms);
  forwarder.Finalize();
  auto counts = forwarder.Statistics();
  EXPECT_EQ(counts.sent, 0u);
  EXPECT_EQ(counts.spooled, 100u);

  forwarder.WriteSettings(Settings(dir, cluster.Bootstraps()));
  forwarder.Initialize();
  ASSERT_TRUE(WaitForAcknowledged(forwarder, 100, 60s));
  forwarder.Finalize();
  EXPECT_EQ(CheckAllThere(cluster.Consume(100, 30s), 1, 100), 0u);
}

TEST(KafkaForwarderTest, AnUnknownEnginePropertyIsRefusedAndRecordsWait) {
  TTestDirectory dir;
  TKafkaMockCluster cluster(Topic);
  TKafkaForwarderUnderTest forwarder(dir,
                                     Settings(dir, cluster.Bootstraps()) + "no.such.property=1\n");
  forwarder.Initialize();
  for (int n = 0; n < 10; ++n) {
    forwarder.Add(Record(0, n));
  }
  forwarder.Finalize();
  const auto counts = forwarder.Statistics();
  EXPECT_EQ(counts.sent, 0u);
  EXPECT_EQ(counts.spooled, 10u);
}

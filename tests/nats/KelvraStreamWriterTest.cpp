#include <gtest/gtest.h>

#include "logging/TFileLogProducer.h"
#include "plugins/forward/uForwardRecord.h"
#include "tests/nats/uNatsServerFixture.h"
#include "tests/nats/uTreeCompare.h"

namespace natstest {
namespace {

TForwardRecord Record(std::string address, std::uint16_t port, std::string application,
                      std::string module, std::string prefix, std::string text,
                      TDateTime serverTime, TDateTime clientTime) {
  TForwardRecord record;
  record.PeerAddress = std::move(address);
  record.PeerPort = port;
  record.Application = std::move(application);
  record.Module = std::move(module);
  record.Prefix = std::move(prefix);
  record.Text = std::move(text);
  record.ServerTime = serverTime;
  record.ClientTime = clientTime;
  return record;
}

// Records that reach every rule of the file tree and the line format.
std::vector<TForwardRecord> Records() {
  const TDateTime t = EncodeDateTime(2024, 3, 7, 13, 59, 59, 999);
  const TDateTime next = EncodeDateTime(2024, 3, 7, 14, 0, 0, 0);
  const TDateTime midnight = EncodeDateTime(2024, 3, 8, 0, 0, 0, 0);
  const TDateTime client = EncodeDateTime(2024, 3, 6, 23, 1, 2, 3);
  return {
      Record("10.1.2.3", 50000, "Billing", "Core", "", "plain", t, client),
      Record("10.1.2.3", 50000, "Billing", "Core", "", "next hour", next, client),
      Record("10.1.2.3", 50000, "Billing", "Core", "", "next day", midnight, client),
      Record("10.1.2.3", 50000, "Billing", "Core", "Core", "with prefix", next, client),
      Record("10.1.2.3", 50001, "Billing", "Core", "", "second port, same file", next, client),
      Record("10.1.2.3", 50000, "BILLING", "core", "", "other case, same stream", next, client),
      Record("10.9.9.9", 514, "SYSLOG", "syslog", "", "<13>syslog line", next, 0),
      Record("10.1.2.3", 50000, "Billing", "Core", "", "ends in CR LF\r\n", next, client),
      Record("10.1.2.3", 50000, "Billing", "Core", "", "caf\xE9 \xC3\xA9 \x01 \"q\"", next, client),
      Record("10.1.2.3", 50000, "a/../b", "..", "p", "unsafe names", next, client),
  };
}

TEST(KelvraStreamWriterTest, RecordsThroughJetStreamLandAsTheServersLines) {
  TTestDirectory dir;
  TNatsServer server("writer", dir.File("store"));
  server.Start();
  TJetStreamProbe probe(server.Url());
  ASSERT_TRUE(probe.Connected());
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = "KELVRA";
  const char* subjects[] = {"kelvra.>"};
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_MemoryStorage;
  jsStreamInfo* info = nullptr;
  ASSERT_EQ(js_AddStream(&info, probe.Js(), &config, nullptr, nullptr), NATS_OK);
  jsStreamInfo_Destroy(info);

  // What the server itself writes for these records, through its own file producers: one per
  // stream as its holder keeps them (letter case ignored), in one file table.
  const std::string expected = dir.File("expected") + PathDelimiter;
  {
    TLogFileTable files;
    auto masks = std::make_shared<const TFileLogMasks>();
    std::map<std::string, std::unique_ptr<TFileLogProducer>> producers;
    for (const TForwardRecord& r : Records()) {
      std::string key = r.PeerAddress + ":" + std::to_string(r.PeerPort) + "=" + r.Application +
                        "|" + r.Module + "|" + r.Prefix;
      for (char& c : key) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      auto& producer = producers[key];
      if (!producer) {
        producer = std::make_unique<TFileLogProducer>(expected, r.PeerAddress,
                                                      std::to_string(r.PeerPort), r.Application,
                                                      r.Module, r.Prefix, "", masks, &files);
      }
      producer->AddMessage(r.Text, r.ClientTime, r.ServerTime);
    }
  }
  for (const TForwardRecord& r : Records()) {
    const std::string json = RecordJson(r);
    ASSERT_EQ(js_Publish(nullptr, probe.Js(), "kelvra.test", json.data(),
                         static_cast<int>(json.size()), nullptr, nullptr),
              NATS_OK);
  }

  const std::string written = dir.File("written") + PathDelimiter;
  TChildProcess writer({KELVRA_STREAM_WRITER,
                        {"--base", written, "--servers", server.Url(), "--exit-when-idle", "1500"},
                        "",
                        {},
                        dir.File("writer.out")});
  ASSERT_TRUE(writer.WaitFor(60'000));
  EXPECT_EQ(writer.ExitCode(), 0);

  const auto want = ReadTree(expected);
  const auto got = ReadTree(written);
  ASSERT_EQ(want.size(), 6u);  // 13 h, 14 h, the next day, the prefix, syslog, unsafe names
  EXPECT_EQ(got, want);
  // The line format spelled out, for one line of each kind.
  const std::string hour14 = "10.1.2.3/Billing/Core/2024_03_07/14.log";
  ASSERT_TRUE(got.count(hour14));
  EXPECT_EQ(got.at(hour14).substr(0, 40), "14:00:00.000[23:01:02.003] : next hour\r\n");
  EXPECT_EQ(got.at("10.9.9.9/SYSLOG/syslog/2024_03_07/14.log"), "<13>syslog line\r\n");

  // Acknowledged: a second run with the same durable consumer writes nothing more.
  TChildProcess again({KELVRA_STREAM_WRITER,
                       {"--base", written, "--servers", server.Url(), "--exit-when-idle", "1500"},
                       "",
                       {},
                       dir.File("writer2.out")});
  ASSERT_TRUE(again.WaitFor(60'000));
  EXPECT_EQ(ReadTree(written), want);
}

TEST(KelvraStreamWriterTest, MalformedMessagesAreReportedAndDoNotStopTheWriter) {
  TTestDirectory dir;
  TNatsServer server("writer", dir.File("store"));
  server.Start();
  TJetStreamProbe probe(server.Url());
  ASSERT_TRUE(probe.Connected());
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = "KELVRA";
  const char* subjects[] = {"kelvra.>"};
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  jsStreamInfo* info = nullptr;
  ASSERT_EQ(js_AddStream(&info, probe.Js(), &config, nullptr, nullptr), NATS_OK);
  jsStreamInfo_Destroy(info);
  const std::string bad = "{\"text\":1}";
  ASSERT_EQ(js_Publish(nullptr, probe.Js(), "kelvra.x", bad.data(), static_cast<int>(bad.size()),
                       nullptr, nullptr),
            NATS_OK);
  const std::string good = RecordJson(Record("10.0.0.1", 1, "a", "m", "", "after the bad one",
                                             EncodeDateTime(2024, 1, 1, 10, 0, 0, 0), 0));
  ASSERT_EQ(js_Publish(nullptr, probe.Js(), "kelvra.x", good.data(), static_cast<int>(good.size()),
                       nullptr, nullptr),
            NATS_OK);
  const std::string written = dir.File("written") + PathDelimiter;
  TChildProcess writer({KELVRA_STREAM_WRITER,
                        {"--base", written, "--servers", server.Url(), "--exit-when-idle", "1500"},
                        "",
                        {},
                        dir.File("writer.out")});
  ASSERT_TRUE(writer.WaitFor(60'000));
  EXPECT_EQ(ReadTree(written).at("10.0.0.1/a/m/2024_01_01/10.log"), "after the bad one\r\n");
  const std::string output = ReadTree(dir.Dir()).at("writer.out");
  EXPECT_NE(output.find("is no record"), std::string::npos) << output;
  EXPECT_NE(output.find("1 lines written, 1 malformed"), std::string::npos) << output;
}

}  // namespace
}  // namespace natstest

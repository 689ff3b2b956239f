#include "plugins/forward/uForwardSettings.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/uTestDirectory.h"

namespace {

const std::string Path = "/opt/kelvra/NatsJetStreamForwarder.conf";

TForwardSettingsResult Nats(const std::string& text) {
  return ParseForwardSettings(text, Path, TForwarderKind::Nats);
}

TEST(ForwardSettingsTest, FullNatsFileIsRead) {
  const TForwardSettingsResult result = Nats(
      "; the NATS forwarder\r\n"
      "[Forwarder]\r\n"
      "Servers = nats://127.0.0.1:4222, nats://127.0.0.1:4223 ,127.0.0.1:4224\r\n"
      "Template=logs.{application}.{module}\r\n"
      "flushtimeoutms=2500\r\n"
      "MaxOutstandingAcks=64\r\n"
      "[spool]\r\n"
      "Directory=/var/spool/kelvra\r\n"
      "MemoryLimit=8M\r\n"
      "DiskLimit=2g\r\n"
      "WhenFull=dropnewest\r\n"
      "[Stream]\r\n"
      "# comment\r\n"
      "Name=LOGS\r\n"
      "Subjects=logs.>, audit.*\r\n"
      "Replicas=3\r\n"
      "Retention=WorkQueue\r\n"
      "Storage=memory\r\n"
      "DuplicateWindowMs=60000\r\n"
      "MaxAgeMs=86400000\r\n"
      "MaxBytes=512K\r\n");
  ASSERT_EQ(result.Error, "");
  const TForwardSettings& s = result.Settings;
  EXPECT_EQ(s.Servers, (std::vector<std::string>{"nats://127.0.0.1:4222", "nats://127.0.0.1:4223",
                                                 "127.0.0.1:4224"}));
  EXPECT_EQ(s.Template.Text(), "logs.{application}.{module}");
  EXPECT_EQ(s.FlushTimeoutMs, 2500u);
  EXPECT_EQ(s.MaxOutstandingAcks, 64u);
  EXPECT_EQ(s.Spool.Directory, "/var/spool/kelvra");
  EXPECT_EQ(s.Spool.MemoryLimitBytes, 8u << 20);
  EXPECT_EQ(s.Spool.DiskLimitBytes, 2ull << 30);
  EXPECT_EQ(s.Spool.WhenFull, TSpoolFullPolicy::DropNewest);
  EXPECT_EQ(s.Stream.Name, "LOGS");
  EXPECT_EQ(s.Stream.Subjects, (std::vector<std::string>{"logs.>", "audit.*"}));
  EXPECT_EQ(s.Stream.Replicas, 3);
  EXPECT_EQ(s.Stream.Retention, "workqueue");
  EXPECT_EQ(s.Stream.Storage, "memory");
  EXPECT_EQ(s.Stream.DuplicateWindowMs, 60000u);
  EXPECT_EQ(s.Stream.MaxAgeMs, 86400000u);
  EXPECT_EQ(s.Stream.MaxBytes, 512u << 10);
}

TEST(ForwardSettingsTest, DefaultsWhereNothingIsSaid) {
  const TForwardSettingsResult result = Nats("[Forwarder]\nServers=127.0.0.1:4222\n");
  ASSERT_EQ(result.Error, "");
  const TForwardSettings& s = result.Settings;
  EXPECT_EQ(s.Template.Text(), TSubjectTemplate::DefaultText);
  EXPECT_EQ(s.Spool.Directory, "/opt/kelvra/NatsJetStreamForwarder.spool");
  EXPECT_EQ(s.Stream.Name, "KELVRA");
  EXPECT_EQ(s.Stream.Subjects, std::vector<std::string>{"kelvra.>"});
  EXPECT_EQ(s.Stream.Replicas, 1);
  EXPECT_EQ(s.Spool.WhenFull, TSpoolFullPolicy::DropOldest);
}

TEST(ForwardSettingsTest, KafkaPassesItsSectionThrough) {
  const TForwardSettingsResult result = ParseForwardSettings(
      "[Forwarder]\nServers=127.0.0.1:9092\nTemplate=kelvra.{application}\n[Kafka]\n"
      "compression.type = lz4\nlinger.ms=5\n",
      "/x/KafkaForwarder.conf", TForwarderKind::Kafka);
  ASSERT_EQ(result.Error, "");
  using TProperties = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(result.Settings.EngineProperties,
            (TProperties{{"compression.type", "lz4"}, {"linger.ms", "5"}}));
  EXPECT_EQ(result.Settings.Template.Rules(), TSubjectRules::Kafka);
}

struct TBadCase {
  const char* Name;
  std::string Body;  // after "[Forwarder]\nServers=a:1\n"
  const char* Error;
};

TEST(ForwardSettingsTest, EachBadSettingGivesOneClearLine) {
  const TBadCase cases[] = {
      {"not a number", "MaxOutstandingAcks=lots\n",
       "line 3: MaxOutstandingAcks: \"lots\" is not a number"},
      {"zero acks", "MaxOutstandingAcks=0\n", "line 3: MaxOutstandingAcks: \"0\" is not between 1"},
      {"negative", "FlushTimeoutMs=-5\n", "line 3: FlushTimeoutMs: \"-5\" is not a number"},
      {"overflow", "[Spool]\nDiskLimit=99999999999999999999G\n", "line 4: DiskLimit:"},
      {"bad unit", "[Spool]\nMemoryLimit=8T\n", "is not a number (bytes, or with K, M or G)"},
      {"unknown key", "Servrs=x\n", "line 3: unknown key Servrs in [Forwarder]"},
      {"unknown section", "[Streams]\nName=x\n", "line 3: unknown section [Streams]"},
      {"Kafka section in NATS", "[Kafka]\nacks=1\n", "unknown section [Kafka]"},
      {"policy", "[Spool]\nWhenFull=DropAll\n", "is neither DropOldest nor DropNewest"},
      {"replicas", "[Stream]\nReplicas=7\n", "Replicas: \"7\" is not between 1 and 5"},
      {"retention", "[Stream]\nRetention=forever\n", "is none of limits, interest, workqueue"},
      {"stream name", "[Stream]\nName=a.b\n", "is not a stream name"},
      {"subjects", "[Stream]\nSubjects=a.>, \n", "holds an empty or malformed subject"},
      {"template", "Template=kelvra.{host}\n", "Template: unknown field {host}"},
      {"no equals", "Servers\n", "line 3: a line that is neither a section nor Key=Value"},
      {"empty server", "Servers=a:1,,b:2\n", "holds an empty or blank server entry"},
      {"two errors", "MaxOutstandingAcks=x\nFlushTimeoutMs=y\n", "(and 1 more error)"},
  };
  for (const TBadCase& c : cases) {
    const TForwardSettingsResult result = Nats("[Forwarder]\nServers=a:1\n" + c.Body);
    EXPECT_NE(result.Error.find(c.Error), std::string::npos) << c.Name << ": " << result.Error;
    EXPECT_EQ(result.Error.rfind("Forwarder settings " + Path + ": ", 0), 0u) << c.Name;
    EXPECT_EQ(result.Error.find('\n'), std::string::npos) << c.Name;
  }
}

TEST(ForwardSettingsTest, BadValuesKeepTheirDefaultsAndGoodOnesCount) {
  const TForwardSettingsResult result =
      Nats("[Forwarder]\nServers=a:1\nMaxOutstandingAcks=lots\n[Spool]\nDirectory=/spool\n");
  EXPECT_FALSE(result.Error.empty());
  const TForwardSettings defaults;
  EXPECT_EQ(result.Settings.MaxOutstandingAcks, defaults.MaxOutstandingAcks);
  EXPECT_EQ(result.Settings.Spool.Directory, "/spool");
}

TEST(ForwardSettingsTest, MissingServersIsAnError) {
  EXPECT_NE(Nats("[Forwarder]\n").Error.find("Servers is missing in [Forwarder]"),
            std::string::npos);
  EXPECT_NE(Nats("").Error.find("Servers is missing"), std::string::npos);
}

TEST(ForwardSettingsTest, FileIsReadAndAMissingOneIsReported) {
  TTestDirectory dir;
  const std::string path = dir.File("Forwarder.conf");
  const TForwardSettingsResult missing = ReadForwardSettings(path, TForwarderKind::Nats);
  EXPECT_EQ(missing.Error, "Forwarder settings " + path + ": the file is missing");
  EXPECT_EQ(missing.Settings.Spool.Directory, dir.File("Forwarder.spool"));
  std::ofstream(path) << "[Forwarder]\nServers=127.0.0.1:4222\n";
  const TForwardSettingsResult read = ReadForwardSettings(path, TForwarderKind::Nats);
  EXPECT_EQ(read.Error, "");
  EXPECT_EQ(read.Settings.Servers, std::vector<std::string>{"127.0.0.1:4222"});
  const TForwardSettingsResult folder = ReadForwardSettings(dir.Dir(), TForwarderKind::Nats);
  EXPECT_NE(folder.Error.find("not a regular file"), std::string::npos) << folder.Error;
}

TEST(ForwardSettingsTest, SettingsPathIsTheModulePathWithConf) {
  // The test program itself is the module here.
  const std::string path = ForwarderSettingsPath(reinterpret_cast<const void*>(&Nats));
  ASSERT_FALSE(path.empty());
  EXPECT_NE(path.find("forward_tests"), std::string::npos) << path;
  EXPECT_EQ(path.substr(path.size() - 5), ".conf");
  EXPECT_EQ(path.find(".exe"), std::string::npos) << path;
}

}  // namespace

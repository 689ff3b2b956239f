#pragma once

// The Kafka forwarder library loaded the way the server loads it, from a copy of its own in the
// test's directory with its settings file beside it. The test plays the server's forwarder
// thread.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "logging/uLogServerInterface.h"
#include "platform/uDynamicLibrary.h"
#include "plugins/forward/uForwardRecord.h"
#include "tests/uTestDirectory.h"

namespace kafkatest {

class TKafkaForwarderUnderTest {
 public:
  TKafkaForwarderUnderTest(const TTestDirectory& dir, const std::string& settings)
      : FPath(dir.File("KafkaForwarder.so")), FSettingsPath(dir.File("KafkaForwarder.conf")) {
    std::filesystem::copy_file(KELVRA_KAFKA_FORWARDER, FPath,
                               std::filesystem::copy_options::overwrite_existing);
    WriteSettings(settings);
    EXPECT_TRUE(FLibrary.Load(FPath)) << FLibrary.LoadError();
    FInitialize = FLibrary.Function<TLogProviderInitialize>("LogProvider_Initialize");
    FAddRecord = FLibrary.Function<TLogProviderAddRecord>("LogProvider_AddRecord");
    FFinalize = FLibrary.Function<TLogProviderFinalize>("LogProvider_Finalize");
    FStatistics = FLibrary.Function<TLogProviderStatisticsFunction>("LogProvider_Statistics");
    EXPECT_TRUE(FInitialize && FAddRecord && FFinalize && FStatistics);
  }
  ~TKafkaForwarderUnderTest() { Finalize(); }

  // Read at the next Initialize.
  void WriteSettings(const std::string& settings) {
    std::ofstream(FSettingsPath, std::ios::binary | std::ios::trunc) << settings;
  }
  void Initialize() {
    if (!FRunning) {
      FInitialize("", "", "", "", "", "");
      FRunning = true;
    }
  }
  void Add(const TForwardRecord& r) {
    FAddRecord(r.ClientTime, r.ServerTime, r.PeerAddress.c_str(), r.PeerPort, r.Application.c_str(),
               r.Module.c_str(), r.Prefix.c_str(), r.Text.c_str());
  }
  void Finalize() {
    if (FRunning) {
      FFinalize();
      FRunning = false;
    }
  }
  TLogProviderStatistics Statistics() {
    TLogProviderStatistics counts{};
    FStatistics(&counts);
    return counts;
  }

 private:
  std::string FPath;
  std::string FSettingsPath;
  TDynamicLibrary FLibrary;
  TLogProviderInitialize FInitialize = nullptr;
  TLogProviderAddRecord FAddRecord = nullptr;
  TLogProviderFinalize FFinalize = nullptr;
  TLogProviderStatisticsFunction FStatistics = nullptr;
  bool FRunning = false;
};

}  // namespace kafkatest

#pragma once

// The NATS forwarder library loaded the way the server loads it, from a copy of its own in the
// test's directory with its settings file beside it (so every test has fresh library globals).
// The test then plays the server's forwarder thread.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "logging/uLogServerInterface.h"
#include "platform/uDynamicLibrary.h"
#include "plugins/forward/uForwardRecord.h"
#include "tests/uTestDirectory.h"

namespace natstest {

class TForwarderUnderTest {
 public:
  // name: the library copy's name without extension; the settings go to name + ".conf".
  TForwarderUnderTest(const TTestDirectory& dir, const std::string& name,
                      const std::string& settings)
      : FPath(dir.File(name + ".so")) {
    // A new file, never written over: the copy an earlier forwarder loaded may still be mapped.
    std::filesystem::remove(FPath);
    std::filesystem::copy_file(KELVRA_NATS_FORWARDER, FPath);
    std::ofstream(dir.File(name + ".conf"), std::ios::binary) << settings;
    EXPECT_TRUE(FLibrary.Load(FPath)) << FLibrary.LoadError();
    FInitialize = FLibrary.Function<TLogProviderInitialize>("LogProvider_Initialize");
    FAddRecord = FLibrary.Function<TLogProviderAddRecord>("LogProvider_AddRecord");
    FFinalize = FLibrary.Function<TLogProviderFinalize>("LogProvider_Finalize");
    FStatistics = FLibrary.Function<TLogProviderStatisticsFunction>("LogProvider_Statistics");
    EXPECT_TRUE(FInitialize && FAddRecord && FFinalize && FStatistics);
  }
  ~TForwarderUnderTest() { Finalize(); }

  void Initialize() {
    if (FInitialize != nullptr && !FRunning) {
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
  TDynamicLibrary FLibrary;
  TLogProviderInitialize FInitialize = nullptr;
  TLogProviderAddRecord FAddRecord = nullptr;
  TLogProviderFinalize FFinalize = nullptr;
  TLogProviderStatisticsFunction FStatistics = nullptr;
  bool FRunning = false;
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

inline std::string Settings(const std::string& servers, const std::string& extra = "",
                            int replicas = 1) {
  return "[Forwarder]\nServers=" + servers + "\nFlushTimeoutMs=10000\nMaxOutstandingAcks=1000\n" +
         extra + "[Stream]\nName=KELVRA\nSubjects=kelvra.>\nReplicas=" + std::to_string(replicas) +
         "\n";
}

}  // namespace natstest

#pragma once

// A forwarder library loaded the way the server loads it, from a copy of its own in the test's
// directory with its settings file beside it (so every test has fresh library globals). The test
// then plays the server's forwarder thread.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "logging/uLogServerInterface.h"
#include "platform/uDynamicLibrary.h"
#include "plugins/forward/uForwardRecord.h"

class TForwarderLibraryUnderTest {
 public:
  // Copies library to copyPath (a new file, never written over: the copy an earlier forwarder
  // loaded may still be mapped), writes settings to settingsPath and loads the copy.
  TForwarderLibraryUnderTest(const std::string& library, const std::string& copyPath,
                             const std::string& settingsPath, const std::string& settings)
      : FSettingsPath(settingsPath) {
    std::filesystem::remove(copyPath);
    std::filesystem::copy_file(library, copyPath);
    WriteSettings(settings);
    EXPECT_TRUE(FLibrary.Load(copyPath)) << FLibrary.LoadError();
    FInitialize = FLibrary.Function<TLogProviderInitialize>("LogProvider_Initialize");
    FAddRecord = FLibrary.Function<TLogProviderAddRecord>("LogProvider_AddRecord");
    FFinalize = FLibrary.Function<TLogProviderFinalize>("LogProvider_Finalize");
    FStatistics = FLibrary.Function<TLogProviderStatisticsFunction>("LogProvider_Statistics");
    EXPECT_TRUE(FInitialize && FAddRecord && FFinalize && FStatistics);
  }
  ~TForwarderLibraryUnderTest() { Finalize(); }
  TForwarderLibraryUnderTest(const TForwarderLibraryUnderTest&) = delete;
  TForwarderLibraryUnderTest& operator=(const TForwarderLibraryUnderTest&) = delete;

  // Read at the next Initialize.
  void WriteSettings(const std::string& settings) {
    std::ofstream(FSettingsPath, std::ios::binary | std::ios::trunc) << settings;
  }
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
  std::string FSettingsPath;
  TDynamicLibrary FLibrary;
  TLogProviderInitialize FInitialize = nullptr;
  TLogProviderAddRecord FAddRecord = nullptr;
  TLogProviderFinalize FFinalize = nullptr;
  TLogProviderStatisticsFunction FStatistics = nullptr;
  bool FRunning = false;
};

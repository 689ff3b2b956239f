#pragma once

// The fixture of the producer holder tests of every platform: a holder over a test directory, with
// its own clock.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "logging/tLogProducerHolder.h"
#include "tests/uTestDirectory.h"

class tLogProducerHolderTest : public testing::Test {
 protected:
  // providers: the lines of section "Providers"; null: no configuration file at all.
  std::unique_ptr<tLogProducerHolder> MakeHolder(const char* providers,
                                                 std::size_t maxFileProducers = 4096) {
    if (providers != nullptr) {
      WriteTextFile(FDir.File("LogServer.conf"),
                    std::string("[Common]\nLogMode=1\n[Providers]\n") + providers);
    }
    TLogProducerHolderOptions options;
    options.Clock = [this] { return FNow; };
    options.Ticks = [this] { return FTicks; };
    options.MaxFileProducers = maxFileProducers;
    options.PluginIsolation = FIsolation;
    options.PluginHost.Program = KELVRA_PLUGIN_HOST;
    // ':' as time separator, whatever the test machine's locale.
    options.Masks = std::make_shared<const TFileLogMasks>(TFormatSettings{});
    return std::make_unique<tLogProducerHolder>(Base(), FDir.File("LogServer.conf"), options);
  }

  std::string Base() const { return FDir.Dir() + "logs/"; }
  // A log file of 7 March 2024, 14:00, below the base catalog.
  std::string LogFile(const std::string& folders, const std::string& name = "14.log") const {
    return ReadTextFile(Base() + folders + "/2024_03_07/" + name);
  }
  std::size_t FilesInTree() const {
    std::size_t files = 0;
    if (std::filesystem::exists(Base())) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(Base())) {
        files += entry.is_regular_file() ? 1 : 0;
      }
    }
    return files;
  }

  TTestDirectory FDir;
  // The plug-ins run in plug-in hosts (PluginIsolation=1).
  bool FIsolation = false;
  TDateTime FNow = EncodeDateTime(2024, 3, 7, 14, 5, 9, 120);
  std::uint32_t FTicks = 0;
};

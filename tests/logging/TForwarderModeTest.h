#pragma once

#include <gtest/gtest.h>

#include "logging/TLogForwarder.h"

// A forwarder test that runs with the library in this process (PluginIsolation=0) and in a
// plug-in host of its own (PluginIsolation=1): what the library sees and the counts are the same.
class TForwarderModeTest : public testing::TestWithParam<bool> {
 protected:
  bool Isolated() const { return GetParam(); }
  TLogForwarderLimits Limits(TLogForwarderLimits limits = {}) const {
    limits.PluginIsolation = Isolated();
    limits.PluginHost.Program = KELVRA_PLUGIN_HOST;
    return limits;
  }
};

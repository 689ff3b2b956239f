#pragma once

// The Kafka forwarder library under test (TForwarderLibraryUnderTest), from a copy of its own in
// the test's directory with its settings file beside it.

#include <string>

#include "tests/forward/TForwarderLibraryUnderTest.h"
#include "tests/uTestDirectory.h"

namespace kafkatest {

class TKafkaForwarderUnderTest : public TForwarderLibraryUnderTest {
 public:
  TKafkaForwarderUnderTest(const TTestDirectory& dir, const std::string& settings)
      : TForwarderLibraryUnderTest(KELVRA_KAFKA_FORWARDER, dir.File("KafkaForwarder.so"),
                                   dir.File("KafkaForwarder.conf"), settings) {}
};

}  // namespace kafkatest

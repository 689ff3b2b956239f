// The example plug-in, loaded by the producers that the server would make for it.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "logging/TExternalLogProducer.h"
#include "platform/uEnvironment.h"
#include "tests/uTestDirectory.h"

namespace {

std::unique_ptr<TExternalLogProducer> MakeProducer(const std::string& application) {
  return std::make_unique<TExternalLogProducer>("", "10.0.0.5", "0", application, "m", "",
                                                KELVRA_JSON_LINES_PLUGIN);
}

void Release(std::unique_ptr<TExternalLogProducer>& producer) {
  producer->Stop();
  producer->WaitFor();
  producer.reset();
}

std::string WaitForContent(const std::string& path, const std::string& expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadTextFile(path) != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ReadTextFile(path);
}

// Two "Providers" lines that name the same library share its one file; the first stream's end
// must not close it under the second.
TEST(JsonLinesPluginTest, TwoStreamsOfOneLibraryShareTheFileUntilTheLastEnds) {
  TTestDirectory dir;
  SetEnvironmentValue("KELVRA_JSONL_DIR", dir.Dir());
  auto first = MakeProducer("A");
  auto second = MakeProducer("B");
  const std::string file = dir.File("10.0.0.5_0_A_m.jsonl");
  const std::string line1 =
      "{\"clientTime\":null,\"serverTime\":\"2024-03-07T12:00:00.000\",\"text\":\"one\"}\n";
  const std::string line2 =
      "{\"clientTime\":null,\"serverTime\":\"2024-03-07T12:00:00.000\",\"text\":\"two\"}\n";
  first->AddMessage("one", 0, 45358.5);
  EXPECT_EQ(WaitForContent(file, line1), line1);
  Release(first);
  second->AddMessage("two", 0, 45358.5);
  EXPECT_EQ(WaitForContent(file, line1 + line2), line1 + line2);
  Release(second);
  SetEnvironmentValue("KELVRA_JSONL_DIR", "");
}

// Whatever bytes a sender writes, each line is valid JSON (UTF-8 kept, a stray byte escaped as
// \uDCXX, so each byte can be had back).
TEST(JsonLinesPluginTest, EveryTextBecomesValidJsonWithoutLosingAByte) {
  TTestDirectory dir;
  SetEnvironmentValue("KELVRA_JSONL_DIR", dir.Dir());
  const struct {
    std::string text;
    std::string json;
  } cases[] = {
      {"say \"hi\" \\ now", R"("say \"hi\" \\ now")"},
      {"tab\there\r\nnext", R"("tab\there\r\nnext")"},
      {"bell\x07 del\x7f", R"("bell\u0007 del\u007f")"},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"caf\xE9 and \xFF", R"("caf\udce9 and \udcff")"},
  };
  auto producer = MakeProducer("J");
  std::string expected;
  for (const auto& item : cases) {
    producer->AddMessage(item.text, 0, 45358.5);
    expected +=
        "{\"clientTime\":null,\"serverTime\":\"2024-03-07T12:00:00.000\",\"text\":" + item.json +
        "}\n";
  }
  const std::string file = dir.File("10.0.0.5_0_J_m.jsonl");
  EXPECT_EQ(WaitForContent(file, expected), expected);
  Release(producer);
  SetEnvironmentValue("KELVRA_JSONL_DIR", "");
}

}  // namespace

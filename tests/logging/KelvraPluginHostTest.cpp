// The plug-in host program on its own, the test playing the server: what the host does when the
// server closes the channel without asking for Finalize, as a server that is killed does.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logging/uPluginHostProtocol.h"
#include "platform/uChildProcess.h"
#include "tests/uTestDirectory.h"

namespace {

using namespace std::chrono;

constexpr std::uint32_t OrphanMs = 500;

std::string InitializeFrame(const std::string& output) {
  TPluginHostFrameWriter writer;
  writer.Begin(TPluginHostFrameKind::Initialize);
  for (const std::string& text : {std::string(), std::string("10.0.0.5"), std::string("514"),
                                  std::string("SYSLOG"), std::string("syslog"), output}) {
    writer.Text(text);
  }
  return writer.Finish();
}

std::string BatchFrame(const std::vector<std::string>& texts) {
  TPluginHostFrameWriter writer;
  writer.Begin(TPluginHostFrameKind::Batch);
  writer.U32(static_cast<std::uint32_t>(texts.size()));
  for (const std::string& text : texts) {
    writer.MessageItem(1, 2, text);
  }
  return writer.Finish();
}

TEST(KelvraPluginHostTest, AClosedChannelEndsTheHostAfterWhatItHasAndFinalize) {
  struct Case {
    const char* name;
    bool initialize;
    std::vector<std::string> batch;
    bool partialBatchAfter;  // half a frame follows the batch: the server died while writing it
    int exitCode;
    std::vector<std::string> calls;  // after the Initialize line, if any
  };
  const Case cases[] = {
      {"whole batches", true, {"m1", "m2", "m3"}, false, 0, {"m1", "m2", "m3", "Finalize"}},
      {"half a frame at the end", true, {"m1"}, true, 0, {"m1", "Finalize"}},
      {"a plug-in that hangs", true, {"hang", "m2"}, false, 4, {"hang"}},
      {"never initialized", false, {}, false, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTestDirectory dir;
    const std::string output = dir.File("calls.txt");
    TChildProcess::TOptions options;
    options.Program = KELVRA_PLUGIN_HOST;
    options.Arguments = {KELVRA_FAULT_PLUGIN};
    options.PipeStandardStreams = true;
    options.Environment = {{"KELVRA_PLUGIN_HOST_ORPHAN_MS", std::to_string(OrphanMs)}};
    TChildProcess host(options);
    std::string frames;
    if (c.initialize) {
      frames += InitializeFrame(output);
    }
    if (!c.batch.empty()) {
      frames += BatchFrame(c.batch);
    }
    if (c.partialBatchAfter) {
      const std::string next = BatchFrame({"never whole"});
      frames += next.substr(0, next.size() / 2);
    }
    ASSERT_TRUE(host.StandardInput().WriteAll(frames.data(), frames.size()));
    const auto closed = steady_clock::now();
    host.StandardInput().Close();
    ASSERT_TRUE(host.WaitFor(10'000));
    const auto took = duration_cast<milliseconds>(steady_clock::now() - closed).count();
    EXPECT_EQ(host.ExitCode(), c.exitCode);
    if (c.exitCode != 0) {
      EXPECT_GE(took, OrphanMs - 50);
    }
    EXPECT_LT(took, 5000);

    std::vector<std::string> expected;
    if (c.initialize) {
      expected.push_back("Initialize||10.0.0.5|514|SYSLOG|syslog");
    }
    expected.insert(expected.end(), c.calls.begin(), c.calls.end());
    EXPECT_EQ(FileLines(output), expected);
  }
}

}  // namespace

namespace {

// A forwarder's host (--forwarder) whose server goes away ends at once, without Finalize and
// without waiting for a call in progress: the server's journal still holds what it did not
// acknowledge, and the next server's host must not share the forwarder's own spool with it.
TEST(KelvraPluginHostTest, AForwardersHostEndsAtOnceWhenTheServerGoesAway) {
  TTestDirectory dir;
  const std::string output = dir.File("calls.txt");
  TChildProcess::TOptions options;
  options.Program = KELVRA_PLUGIN_HOST;
  options.Arguments = {"--forwarder", KELVRA_FAULT_FORWARDER};
  options.PipeStandardStreams = true;
  options.Environment = {{"KELVRA_FAULT_FILE", output}};
  TChildProcess host(options);
  TPluginHostFrameWriter writer;
  writer.Begin(TPluginHostFrameKind::Initialize);
  for (int i = 0; i < 6; ++i) {
    writer.Text("");
  }
  std::string frames = writer.Finish();
  writer.Begin(TPluginHostFrameKind::Batch);
  writer.U32(2);
  writer.RecordItem(1, 2, "10.0.0.5", "514", "App", "Mod", "", "r1");
  writer.RecordItem(1, 2, "10.0.0.5", "514", "App", "Mod", "", "hang");
  frames += writer.Finish();
  ASSERT_TRUE(host.StandardInput().WriteAll(frames.data(), frames.size()));
  for (int i = 0; i < 1000 && CountOf(FileLines(output), "hang") == 0; ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  host.StandardInput().Close();
  // Not the orphan time of a plug-in's host: the call in progress is not waited for.
  ASSERT_TRUE(host.WaitFor(5'000));
  EXPECT_EQ(host.ExitCode(), 0);
  EXPECT_EQ(FileLines(output), (std::vector<std::string>{"Initialize", "r1", "hang"}));
}

}  // namespace

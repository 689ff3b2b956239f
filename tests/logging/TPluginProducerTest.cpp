// What a plug-in sees, the same whether the server loads it (TExternalLogProducer,
// PluginIsolation=0) or runs it in a plug-in host (TIsolatedLogProducer, PluginIsolation=1). The
// one difference is the thread: in the server Initialize and Finalize come on the owner's thread
// and AddMessage on the producer's; in a host all three come on the host's one thread.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logging/TExternalLogProducer.h"
#include "logging/TIsolatedLogProducer.h"
#include "platform/uDynamicLibrary.h"
#include "tests/logging/TRecordingPluginProbe.h"
#include "tests/uTestDirectory.h"

namespace {

std::unique_ptr<TPluginProducer> MakeProducer(bool isolated, const std::string& library) {
  if (isolated) {
    TPluginHostOptions options;
    options.Program = KELVRA_PLUGIN_HOST;
    return std::make_unique<TIsolatedLogProducer>("", "10.0.0.5", "514", "SYSLOG", "syslog", "",
                                                  library, options);
  }
  return std::make_unique<TExternalLogProducer>("", "10.0.0.5", "514", "SYSLOG", "syslog", "",
                                                library);
}

// The owners' sequence.
void Release(std::unique_ptr<TPluginProducer>& producer) {
  producer->Stop();
  producer->WaitFor();
  producer.reset();
}

std::string Message(double clientTime, double serverTime, const std::string& text,
                    const std::string& thread) {
  return "AddMessage|" + TRecordingPluginProbe::Time(clientTime) + "|" +
         TRecordingPluginProbe::Time(serverTime) + "|" + text + "|" + thread;
}

std::string ThreadOf(const std::string& line) {
  return line.substr(line.rfind('|') + 1);
}

class TPluginProducerTest : public testing::TestWithParam<bool> {
 protected:
  bool Isolated() const { return GetParam(); }
};

TEST_P(TPluginProducerTest, InitializesDeliversInOrderAndFinalizesLast) {
  TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, Isolated());
  const std::string creator = TRecordingPluginProbe::ThreadTag();
  auto producer = MakeProducer(Isolated(), KELVRA_RECORDING_PLUGIN);
  EXPECT_TRUE(producer->IsOpen());
  constexpr int Count = 200;
  for (int i = 0; i < Count; ++i) {
    producer->AddMessage("m" + std::to_string(i), i == 0 ? 0 : 45358.5 + i, 45400.25 + i);
  }
  std::vector<std::string> lines = probe.WaitForLines("AddMessage|", Count);
  ASSERT_EQ(lines.size(), 1u + Count);
  Release(producer);
  lines = probe.Lines();

  ASSERT_EQ(lines.size(), 2u + Count);
  const std::string initializer = ThreadOf(lines.front());
  EXPECT_EQ(lines.front(), "Initialize||10.0.0.5|514|SYSLOG|syslog||" + initializer);
  const std::string deliverer = ThreadOf(lines[1]);
  if (Isolated()) {
    EXPECT_EQ(deliverer, initializer);
  } else {
    EXPECT_EQ(initializer, creator);
    EXPECT_NE(deliverer, creator);
  }
  for (int i = 0; i < Count; ++i) {
    EXPECT_EQ(lines[1 + i],
              Message(i == 0 ? 0 : 45358.5 + i, 45400.25 + i, "m" + std::to_string(i), deliverer));
  }
  EXPECT_EQ(lines.back(), "Finalize|" + initializer);
}

TEST_P(TPluginProducerTest, TextsReachThePluginZeroTerminated) {
  using namespace std::string_view_literals;
  TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, Isolated());
  auto producer = MakeProducer(Isolated(), KELVRA_RECORDING_PLUGIN);
  producer->AddMessage("ab\0cd"sv, 1, 2);
  producer->AddMessage("", 1, 2);
  producer->AddMessage("\xE4\xF6 bytes as they are", 1, 2);
  const std::vector<std::string> lines = probe.WaitForLines("AddMessage|", 3);
  Release(producer);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].substr(0, lines[1].rfind('|')), "AddMessage|1|2|ab");
  EXPECT_EQ(lines[2].substr(0, lines[2].rfind('|')), "AddMessage|1|2|");
  EXPECT_EQ(lines[3].substr(0, lines[3].rfind('|')), "AddMessage|1|2|\xE4\xF6 bytes as they are");
}

TEST_P(TPluginProducerTest, AnExceptionLosesOneMessageOnly) {
  TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, Isolated());
  auto producer = MakeProducer(Isolated(), KELVRA_RECORDING_PLUGIN);
  producer->AddMessage("before", 0, 1);
  producer->AddMessage("throw", 0, 1);
  producer->AddMessage("after", 0, 1);
  const std::vector<std::string> lines = probe.WaitForLines("AddMessage|", 3);
  Release(producer);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_NE(lines[2].find("|throw|"), std::string::npos);
  EXPECT_NE(lines[3].find("|after|"), std::string::npos);
  EXPECT_EQ(TRecordingPluginProbe::Count(probe.Lines(), "Finalize|"), 1u);
  EXPECT_EQ(TRecordingPluginProbe::Count(probe.Lines(), "Initialize|"), 1u);
}

TEST_P(TPluginProducerTest, MessagesQueuedAtStopAreDeliveredBeforeFinalize) {
  TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, Isolated());
  auto producer = MakeProducer(Isolated(), KELVRA_RECORDING_PLUGIN);
  producer->AddMessage("block", 0, 1);
  producer->AddMessage("queued 1", 0, 1);
  producer->AddMessage("queued 2", 0, 1);
  // The plug-in is inside its call for "block" now; the stop comes before the call returns.
  probe.WaitForLines("AddMessage|", 1);
  producer->Stop();
  probe.Unblock();
  producer->WaitFor();
  producer.reset();
  const std::vector<std::string> lines = probe.Lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[1].find("|block|"), std::string::npos);
  EXPECT_NE(lines[2].find("|queued 1|"), std::string::npos);
  EXPECT_NE(lines[3].find("|queued 2|"), std::string::npos);
  EXPECT_EQ(lines[4].rfind("Finalize|", 0), 0u);
}

// A library that is missing or lacks LogProvider_AddMessage gets no call; one without
// LogProvider_Initialize gets its messages all the same.
TEST_P(TPluginProducerTest, LibrariesWithoutEveryExport) {
  struct Case {
    const char* library;
    int initializeCalls;
    int addMessageCalls;
    int finalizeCalls;
  };
  const Case cases[] = {
      {KELVRA_NO_ADD_MESSAGE_PLUGIN, 0, 0, 0},
      {KELVRA_NO_INITIALIZE_PLUGIN, 0, 3, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    // The test's own load keeps the counters alive while the producer loads and releases it; in
    // a host the plug-in writes its calls to the probe's file instead.
    TDynamicLibrary library;
    ASSERT_TRUE(library.Load(c.library));
    const auto partialCount = library.Function<int (*)(const char*)>("Partial_Count");
    ASSERT_NE(partialCount, nullptr);
    TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, Isolated());
    const auto count = [&](const char* name) {
      return Isolated() ? static_cast<int>(TRecordingPluginProbe::Count(probe.Lines(), name))
                        : partialCount(name);
    };
    const int initializesBefore = count("Initialize");
    const int addMessagesBefore = count("AddMessage");
    const int finalizesBefore = count("Finalize");

    auto producer = MakeProducer(Isolated(), c.library);
    EXPECT_TRUE(producer->IsOpen());
    for (int i = 0; i < 3; ++i) {
      producer->AddMessage("m", 0, 1);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count("AddMessage") - addMessagesBefore < c.addMessageCalls &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Release(producer);
    EXPECT_EQ(count("Initialize") - initializesBefore, c.initializeCalls);
    EXPECT_EQ(count("AddMessage") - addMessagesBefore, c.addMessageCalls);
    EXPECT_EQ(count("Finalize") - finalizesBefore, c.finalizeCalls);
  }
}

// The producer runs and accepts messages, and is stopped like any other.
TEST_P(TPluginProducerTest, AMissingLibraryDropsMessages) {
  auto producer = MakeProducer(Isolated(), "/nonexistent/kelvra/plugin.so");
  EXPECT_TRUE(producer->IsOpen());
  producer->AddMessage("dropped", 0, 1);
  auto empty = MakeProducer(Isolated(), "");
  empty->AddMessage("dropped", 0, 1);
  Release(producer);
  Release(empty);
}

// Why a library is not used, in the loader's words where the loader refused it.
TEST_P(TPluginProducerTest, LoadProblemNamesTheReason) {
  TTestDirectory dir;
  const std::string text = dir.File("not-a-library.so");
  WriteTextFile(text, "just text\n");
  // What the platform's loader says of a path (dlerror's words, FormatMessage's text and code).
  const auto loaderSays = [](const std::string& path) {
    TDynamicLibrary library;
    library.Load(path);
    return library.LoadError();
  };
  struct Case {
    std::string library;
    std::string reason;  // empty: no problem
  };
  const Case cases[] = {
      {KELVRA_RECORDING_PLUGIN, ""},
      {KELVRA_NO_ADD_MESSAGE_PLUGIN, "no export LogProvider_AddMessage"},
      {dir.File("missing.so"), loaderSays(dir.File("missing.so"))},
      {text, loaderSays(text)},
      {"", "empty library path"},
  };
  // A missing file and a file that is no library are refused, for reasons of their own.
  EXPECT_NE(cases[2].reason, "");
  EXPECT_NE(cases[3].reason, "");
  EXPECT_NE(cases[2].reason, cases[3].reason);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library);
    TRecordingPluginProbe probe(KELVRA_RECORDING_PLUGIN, Isolated());
    auto producer = MakeProducer(Isolated(), c.library);
    EXPECT_EQ(producer->LoadProblem(), c.reason);
    Release(producer);
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, TPluginProducerTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& mode) {
                           return mode.param ? std::string("Isolated") : std::string("InProcess");
                         });

// A plug-in that does not return from its call: the stop ends at the deadline, the call's
// message and those queued behind it are counted as lost, and the thread is given up. (In a
// plug-in host the host is killed instead: TIsolatedLogProducerTest.)
TEST(TExternalLogProducerTest, AStopDeadlineEndsTheWaitForABlockedPlugin) {
  TRecordingPluginProbe probe;
  auto producer = MakeProducer(false, KELVRA_RECORDING_PLUGIN);
  producer->AddMessage("block", 0, 1);
  producer->AddMessage("queued 1", 0, 1);
  producer->AddMessage("queued 2", 0, 1);
  probe.WaitForLines("AddMessage|", 1);

  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(300);
  producer->StopDelivery(deadline);
  std::size_t lost = 0;
  EXPECT_FALSE(producer->FinishDelivery(deadline, lost));
  EXPECT_EQ(lost, 3u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // Let the given-up thread leave the plug-in, so that the test can release what it used.
  probe.Unblock();
  for (int i = 0; i < 500 && !producer->Finished(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(producer->Finished());
  producer.reset();
  // Nothing was delivered after the deadline.
  EXPECT_EQ(probe.Lines().size(), 3u);  // Initialize, AddMessage block, Finalize
}

}  // namespace

#include "platform/uChildProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Read in text mode, so a platform's CR LF line ends come back as LF.
std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// KelvraTestChild, sleeping for a minute unless it is ended.
TChildProcess::TOptions SleepingChild() {
  return {KELVRA_TEST_CHILD, {"sleep", "60000"}, "", {}, ""};
}

TEST(TChildProcessTest, RunsInItsDirectoryWithAddedEnvironmentAndCapturedOutput) {
  const auto directory = std::filesystem::temp_directory_path() / "kelvra_child_test";
  std::filesystem::create_directories(directory);
  const auto output = directory / "out.txt";
  TChildProcess::TOptions options;
  options.Program = KELVRA_TEST_CHILD;
  options.Arguments = {"cwd", "env", "KELVRA_CHILD", "err", "oops", "exit", "3"};
  options.WorkingDirectory = directory.string();
  options.Environment = {{"KELVRA_CHILD", "value 1"}};
  options.OutputPath = output.string();
  TChildProcess child(options);
  ASSERT_TRUE(child.WaitFor(10'000));
  EXPECT_EQ(child.ExitCode(), 3);
  EXPECT_EQ(child.TermSignal(), 0);
  EXPECT_EQ(ReadFile(output), directory.string() + "\nvalue 1\noops\n");
  std::filesystem::remove_all(directory);
}

TEST(TChildProcessTest, StopRequestEndsAProgramThatDoesNotHandleIt) {
  TChildProcess child(SleepingChild());
  EXPECT_TRUE(child.Running());
  EXPECT_GT(ProcessPeakMemory(child.Id()), 0u);
  child.RequestStop();
  ASSERT_TRUE(child.WaitFor(10'000));
  EXPECT_FALSE(child.Running());
  EXPECT_NE(child.ExitCode(), 0);
}

TEST(TChildProcessTest, DestructorKillsARunningChild) {
  int id = 0;
  {
    TChildProcess child(SleepingChild());
    id = child.Id();
  }
  EXPECT_EQ(ProcessPeakMemory(id), 0u);  // gone, not even a zombie with memory
}

// A busy child's processor time grows to what it burnt; a process that is gone has none to read.
TEST(TChildProcessTest, ProcessCpuSecondsCountsWhatAProcessBurnt) {
  TChildProcess idle(SleepingChild());
  EXPECT_GE(ProcessCpuSeconds(idle.Id()), 0.0);
  TChildProcess busy({KELVRA_TEST_CHILD, {"spin", "60000"}, "", {}, ""});
  double used = 0;
  for (int step = 0; step < 300 && used < 0.05; ++step) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    used = ProcessCpuSeconds(busy.Id());
  }
  EXPECT_GE(used, 0.05);
  const int id = busy.Id();
  busy.Kill();
  ASSERT_TRUE(busy.WaitFor(10'000));
  EXPECT_LT(ProcessCpuSeconds(id), 0.0);
}

TEST(TChildProcessTest, ProcessRunningSeesAnotherProcessEnd) {
  TChildProcess child(SleepingChild());
  EXPECT_TRUE(ProcessRunning(child.Id()));
  child.Kill();
  ASSERT_TRUE(child.WaitFor(10'000));
  EXPECT_FALSE(ProcessRunning(child.Id()));
}

// Children with piped streams started by several threads at once: each inherits only its own
// pipe ends, so the end of one closes its output at once, whatever the others still run. (A
// child that inherited another's output end would keep that pipe open for its whole life.)
TEST(TChildProcessTest, ChildrenStartedAtOnceInheritOnlyTheirOwnPipes) {
  constexpr int Children = 6;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::unique_ptr<TChildProcess>> children(Children);
    std::atomic<int> ready{0};
    std::vector<std::thread> starters;
    for (int i = 0; i < Children; ++i) {
      starters.emplace_back([&children, &ready, i] {
        TChildProcess::TOptions options = SleepingChild();
        options.PipeStandardStreams = true;
        ++ready;
        while (ready.load() < Children) {
          std::this_thread::yield();
        }
        children[static_cast<std::size_t>(i)] = std::make_unique<TChildProcess>(options);
      });
    }
    for (std::thread& starter : starters) {
      starter.join();
    }
    for (int i = 0; i < Children; ++i) {
      TChildProcess& child = *children[static_cast<std::size_t>(i)];
      child.Kill();
      ASSERT_TRUE(child.WaitFor(10'000));
      char byte = 0;
      std::size_t got = 0;
      EXPECT_EQ(child.StandardOutput().Read(&byte, 1, got, 3000), TPipeEnd::TReadResult::Ended)
          << "child " << i << " of " << Children;
    }
  }
}

TEST(TChildProcessTest, MissingProgramThrows) {
  EXPECT_THROW(TChildProcess({"/nonexistent/program", {}, "", {}, ""}), std::system_error);
}

}  // namespace

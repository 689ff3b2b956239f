#include "platform/uChildProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

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

TEST(TChildProcessTest, MissingProgramThrows) {
  EXPECT_THROW(TChildProcess({"/nonexistent/program", {}, "", {}, ""}), std::system_error);
}

}  // namespace

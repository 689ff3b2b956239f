#include "platform/uChildProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Windows hands a child one command line, which the child's runtime splits again: every argument
// must come through that round trip unchanged.

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(TChildProcessWin32Test, ArgumentsSurviveTheCommandLine) {
  const std::vector<std::string> arguments = {
      "plain",
      "two words",
      "",
      "tab\there",
      "quote\"inside",
      "\"quoted\"",
      "trailing\\",
      "back\\slash",
      "dir with\\",
      "\\\\server\\share\\",
      "many\\\\\"quote",
      "a\\\"b",
      "'single'",
      "ends in space ",
  };
  const auto output = std::filesystem::temp_directory_path() / "kelvra_child_arguments.txt";
  TChildProcess::TOptions options;
  options.Program = KELVRA_TEST_CHILD;
  std::string expected;
  for (const std::string& argument : arguments) {
    options.Arguments.push_back("err");
    options.Arguments.push_back(argument);
    expected += argument + "\n";
  }
  options.OutputPath = output.string();
  {
    TChildProcess child(options);
    ASSERT_TRUE(child.WaitFor(10'000));
    EXPECT_EQ(child.ExitCode(), 0);
  }
  EXPECT_EQ(ReadFile(output), expected);
  std::filesystem::remove(output);
}

TEST(TChildProcessWin32Test, KillEndsTheChildWithoutASignal) {
  TChildProcess child({KELVRA_TEST_CHILD, {"sleep", "60000"}, "", {}, ""});
  EXPECT_TRUE(child.Running());
  child.Kill();
  ASSERT_TRUE(child.WaitFor(10'000));
  EXPECT_NE(child.ExitCode(), 0);
  EXPECT_EQ(child.TermSignal(), 0);
}

}  // namespace

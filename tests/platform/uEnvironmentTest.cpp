#include "platform/uEnvironment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/uChildProcess.h"

namespace {

const char* const Name = "KELVRA_ENVIRONMENT_TEST";

// The C runtime's view, which plug-ins read with getenv.
std::string RuntimeValue() {
  const char* value = std::getenv(Name);
  return value != nullptr ? value : "";
}

// The value a child process is started with.
std::string ChildValue() {
  const auto output = std::filesystem::temp_directory_path() / "kelvra_environment_test.txt";
  {
    TChildProcess child({KELVRA_TEST_CHILD, {"env", Name}, "", {}, output.string()});
    EXPECT_TRUE(child.WaitFor(10'000));
  }
  std::ifstream in(output);
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  std::filesystem::remove(output);
  return text.str();
}

TEST(uEnvironmentTest, SetAndRemoveReachEveryViewOfTheEnvironment) {
  SetEnvironmentValue(Name, "first value");
  EXPECT_EQ(EnvironmentValue(Name), "first value");
  EXPECT_EQ(RuntimeValue(), "first value");
  EXPECT_EQ(ChildValue(), "first value\n");

  SetEnvironmentValue(Name, "second");
  EXPECT_EQ(EnvironmentValue(Name), "second");
  EXPECT_EQ(RuntimeValue(), "second");

  SetEnvironmentValue(Name, "");
  EXPECT_EQ(EnvironmentValue(Name), "");
  EXPECT_EQ(std::getenv(Name), nullptr);
  EXPECT_EQ(ChildValue(), "\n");
}

TEST(uEnvironmentTest, LongValuesComeBackWhole) {
  const std::string value(5000, 'v');
  SetEnvironmentValue(Name, value);
  EXPECT_EQ(EnvironmentValue(Name), value);
  SetEnvironmentValue(Name, "");
}

}  // namespace

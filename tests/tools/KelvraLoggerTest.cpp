// kelvra-logger run as a child process against the real server (and a stand-in that never
// reads), checked by its exit code, its messages and the lines that land.
#include <gtest/gtest.h>

#include <regex>

#include "tests/client/uClientTestSupport.h"
#include "tests/client/uFakePeer.h"

namespace {

using namespace e2e;

struct TRun {
  int ExitCode = -1;
  std::string Output;  // standard output and standard error
};

// Runs kelvra-logger with the arguments (standard input from the file, when given) and waits
// for it to end.
TRun RunLogger(const TTestDirectory& dir, const std::vector<std::string>& arguments,
               const std::string& input = "") {
  TChildProcess::TOptions options;
  options.Program = KELVRA_LOGGER_EXE;
  options.Arguments = arguments;
  options.OutputPath = dir.File("logger-output.txt");
  options.InputPath = input;
  TChildProcess logger(options);
  TRun run;
  if (!logger.WaitFor(60'000)) {
    logger.Kill();
    logger.WaitFor(10'000);
    run.Output = "(killed after 60 s) ";
  }
  run.ExitCode = logger.ExitCode();
  // Standard output and error are text streams: line ends are CR LF on Windows.
  for (const char c : ReadTextFile(dir.File("logger-output.txt"))) {
    if (c != '\r') {
      run.Output += c;
    }
  }
  return run;
}

std::vector<std::string> To(std::uint16_t port, std::vector<std::string> more) {
  std::vector<std::string> arguments = {"-n", "127.0.0.1", "-P", std::to_string(port)};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

TEST(KelvraLoggerTest, MessageArgumentsLandAsOneRecordWithTheGivenNamesAndTime) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  TTestDirectory dir;
  const TRun run =
      RunLogger(dir, To(server.TcpPort(), {"-a", "Billing", "-m", "Core", "-p", "cli", "--time",
                                           "2024-03-07T14:05:08.997", "invoice", "42", "paid"}));
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  EXPECT_EQ(run.Output, "");
  const std::string stream = server.LogRoot() + "127.0.0.1/Billing/Core";
  ASSERT_EQ(WaitForLines(stream, 1).size(), 1u);
  const auto files = FilesBelow(stream);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0].filename().string(), std::regex(R"(cli_\d\d\.log)")));
  EXPECT_TRUE(std::regex_match(
      ReadTextFile(files[0].string()),
      std::regex(R"(\d\d:\d\d:\d\d\.\d{3}\[14:05:08\.997\] : invoice 42 paid\r\n)")))
      << ReadTextFile(files[0].string());
}

TEST(KelvraLoggerTest, StandardInputSendsEachLineAsOneRecordInOrder) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  TTestDirectory dir;
  constexpr int Lines = 10'000;
  std::string input;
  for (int i = 0; i < Lines; ++i) {
    // CR LF line ends lose their CR; an empty line is a record of its own.
    input += i == 5000 ? "\n" : "line " + std::to_string(i) + (i % 2 == 0 ? "\n" : "\r\n");
  }
  WriteTextFile(dir.File("input.txt"), input);
  const TRun run = RunLogger(
      dir, To(server.TcpPort(), {"-a", "Stdin", "-m", "M", "--time", "2024-01-02 03:04:05"}),
      dir.File("input.txt"));
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  const auto lines = WaitForLines(server.LogRoot() + "127.0.0.1/Stdin/M", Lines);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(Lines));
  const std::regex stamped(R"(\d\d:\d\d:\d\d\.\d{3}\[03:04:05\.000\] : (.*))");
  for (int i = 0; i < Lines; ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[static_cast<std::size_t>(i)], match, stamped))
        << lines[static_cast<std::size_t>(i)];
    ASSERT_EQ(match[1].str(), i == 5000 ? "" : "line " + std::to_string(i));
  }
}

TEST(KelvraLoggerTest, TooLongLineIsRefusedWithAnErrorAndTheOthersLand) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  TTestDirectory dir;
  WriteTextFile(dir.File("input.txt"), "short\n" + std::string(70'000, 'L') + "\nlast\n");
  const TRun refused =
      RunLogger(dir, To(server.TcpPort(), {"-a", "Long", "-m", "M"}), dir.File("input.txt"));
  EXPECT_EQ(refused.ExitCode, 3);
  EXPECT_NE(refused.Output.find("kelvra-logger: line 2: record too large"), std::string::npos)
      << refused.Output;
  const TRun cut = RunLogger(dir, To(server.TcpPort(), {"-a", "Long", "-m", "M", "--cut"}),
                             dir.File("input.txt"));
  EXPECT_EQ(cut.ExitCode, 0) << cut.Output;
  const auto lines = WaitForLines(server.LogRoot() + "127.0.0.1/Long/M", 5);
  ASSERT_EQ(lines.size(), 5u);
  // Not a regular expression: std::regex recurses once per character of a 65 kB line.
  std::vector<std::string> texts;
  for (const auto& line : lines) {
    const std::size_t stamps = line.find("] : ");
    ASSERT_EQ(stamps, 25u) << line.substr(0, 40);
    texts.push_back(line.substr(stamps + 4));
  }
  EXPECT_EQ(texts[0], "short");
  EXPECT_EQ(texts[1], "last");
  EXPECT_EQ(texts[2], "short");
  EXPECT_EQ(texts[3].size(), 65486u - 5u);
  EXPECT_EQ(texts[3].substr(texts[3].size() - 8), "...[cut]");
  EXPECT_EQ(texts[4], "last");
}

TEST(KelvraLoggerTest, UdpSendsEachLineAsASyslogDatagram) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  TTestDirectory dir;
  const TRun run = RunLogger(dir, {"--udp", "-n", "127.0.0.1", "-P",
                                   std::to_string(server.UdpPort()), "disk", "almost", "full"});
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  EXPECT_EQ(WaitForLines(server.LogRoot() + "127.0.0.1/SYSLOG/syslog", 1),
            std::vector<std::string>{"<13>disk almost full"});
}

TEST(KelvraLoggerTest, UsageErrorsExitWithOneAndSayWhy) {
  TTestDirectory dir;
  struct TCase {
    std::vector<std::string> Arguments;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {{"--bogus"}, "unknown option: --bogus"},
      {{"-P"}, "option -P needs a value"},
      {{"-P", "0", "x"}, "invalid port: 0"},
      {{"--port=65536", "x"}, "invalid port: 65536"},
      {{"--time", "2024-02-30T00:00:00", "x"}, "invalid time"},
      {{"--time", "2024-03-07T14:05:08Z", "x"}, "invalid time"},
      {{"--timeout", "-1", "x"}, "invalid time-out"},
      {{"--udp=yes"}, "option --udp takes no value"},
      {{"-n", "", "x"}, "empty server name"},
  };
  for (const auto& c : cases) {
    const TRun run = RunLogger(dir, c.Arguments);
    EXPECT_EQ(run.ExitCode, 1) << c.Message;
    EXPECT_NE(run.Output.find("kelvra-logger: " + c.Message), std::string::npos) << run.Output;
    EXPECT_NE(run.Output.find("Try 'kelvra-logger --help'"), std::string::npos);
  }
  const TRun help = RunLogger(dir, {"--help"});
  EXPECT_EQ(help.ExitCode, 0);
  EXPECT_EQ(help.Output.rfind("Usage: kelvra-logger [options] [message ...]\n", 0), 0u)
      << help.Output;
}

TEST(KelvraLoggerTest, NoServerExitsWithTwoAndTheReason) {
  TTestDirectory dir;
  const TRun refused = RunLogger(dir, To(FreePort(false), {"hello"}));
  EXPECT_EQ(refused.ExitCode, 2);
  EXPECT_TRUE(std::regex_search(
      refused.Output,
      std::regex(R"(kelvra-logger: cannot connect to 127\.0\.0\.1:\d+: .+ \(code \d+\))")))
      << refused.Output;
  const TRun unknown = RunLogger(dir, {"-n", "no-such-host.invalid", "hello"});
  EXPECT_EQ(unknown.ExitCode, 2);
  EXPECT_TRUE(std::regex_search(
      unknown.Output,
      std::regex(R"(kelvra-logger: cannot resolve host no-such-host\.invalid: .+ \(code -?\d+\))")))
      << unknown.Output;
}

TEST(KelvraLoggerTest, ServerThatNeverFinishesReadingExitsWithThree) {
  TFakePeer peer(TFakePeer::TMode::Stall);
  TTestDirectory dir;
  const TRun run = RunLogger(dir, To(peer.Port(), {"--timeout", "1", "stuck"}));
  EXPECT_EQ(run.ExitCode, 3);
  EXPECT_NE(run.Output.find("kelvra-logger: not everything was sent within 1 s"), std::string::npos)
      << run.Output;
}

}  // namespace

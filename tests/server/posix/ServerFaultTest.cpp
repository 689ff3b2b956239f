// The real server under faults that only Linux can stage here: a full disk (a small tmpfs), a
// log tree made read-only (a read-only bind mount: the tests run as root, for whom permission
// bits stop no write), SIGKILL and SIGTERM under load, and a plug-in that never returns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/uChildProcess.h"
#include "tests/server/uServerUnderTest.h"
#include "tests/uLoadSize.h"

namespace {

using namespace e2e;
using Lines = std::vector<std::string>;

constexpr TDateTime ClientNoon = 45358.5;  // 12:00:00.000 of the sender

// Runs a shell command line to its end; its exit code, or -1.
int RunCommand(const std::string& command) {
  TChildProcess::TOptions options;
  options.Program = "/bin/sh";
  options.Arguments = {"-c", command + " >/dev/null 2>&1"};
  TChildProcess child(options);
  return child.WaitFor(30'000) ? child.ExitCode() : -1;
}

// A tmpfs of the given size mounted on a directory for the test's life, unmounted (lazily, with
// whatever was mounted on it later) at the end.
class TMountedTmpfs {
 public:
  TMountedTmpfs(const std::string& directory, const std::string& size) : FDirectory(directory) {
    std::filesystem::create_directories(directory);
    FMounted = RunCommand("mount -t tmpfs -o size=" + size + " tmpfs '" + directory + "'") == 0;
  }
  ~TMountedTmpfs() {
    if (FMounted) {
      // The read-only test stacks a bind mount on the tmpfs; both go.
      while (RunCommand("umount -l '" + FDirectory + "'") == 0) {
      }
    }
  }
  TMountedTmpfs(const TMountedTmpfs&) = delete;
  TMountedTmpfs& operator=(const TMountedTmpfs&) = delete;

  bool Mounted() const { return FMounted; }

 private:
  std::string FDirectory;
  bool FMounted = false;
};

std::string LoadText(int record, int client) {
  return "record " + std::to_string(record) + " of client " + std::to_string(client) + " " +
         std::string(40, 'x');
}

// Every line below root: whole lines only (a stamp, the text, CR LF; a file ends with its line
// end), or the first broken one is named in broken.
struct TTreeLines {
  std::vector<std::string> Texts;
  std::string Broken;
};

TTreeLines ReadRecordLines(const std::string& root) {
  static const std::regex whole(R"(^\d\d:\d\d:\d\d\.\d{3}\[12:00:00\.000\] : (.*)\r$)");
  TTreeLines result;
  for (const auto& file : FilesBelow(root)) {
    const std::string content = ReadTextFile(file.string());
    if (!content.empty() && !content.ends_with("\r\n")) {
      result.Broken = file.string() + " ends inside a line";
    }
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
      std::smatch match;
      if (std::regex_match(line, match, whole)) {
        result.Texts.push_back(match[1]);
      } else if (result.Broken.empty()) {
        result.Broken = file.string() + ": " + line;
      }
    }
  }
  return result;
}

// The sum of n over every "DROPPED n LINES [code=<code>] <reason>: ..." line of the log.
std::uint64_t DroppedLines(const std::string& log, int code, const std::string& reason) {
  const std::regex dropped("DROPPED (\\d+) LINES \\[code=" + std::to_string(code) + "\\] " +
                           reason + ": ");
  std::uint64_t total = 0;
  for (std::sregex_iterator it(log.begin(), log.end(), dropped), end; it != end; ++it) {
    total += std::stoull((*it)[1]);
  }
  return total;
}

std::size_t CountOf(const std::string& log, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) {
    ++count;
  }
  return count;
}

bool SendRecords(TLoopbackClient& client, int clientNumber, int first, int count,
                 const std::string& prefix = "") {
  std::string batch;
  for (int i = first; i < first + count; ++i) {
    batch += RecordFrame("Load", "client" + std::to_string(clientNumber), "",
                         prefix + LoadText(i, clientNumber), ClientNoon);
    if (batch.size() > 32'000 || i + 1 == first + count) {
      if (!client.Send(batch)) {
        return false;
      }
      batch.clear();
    }
  }
  return true;
}

// Lines a full disk costs are counted and reported with the file's path; the server goes on
// serving, and once there is room again lines land whole.
TEST(ServerFaultTest, DiskFullDropsCountedLinesAndRecoversWhenSpaceIsFreed) {
  TServerUnderTest server;
  // Only the record tree of 127.0.0.1 lies on the small disk: the diagnostic log, which tells
  // the losses, stays writable.
  const std::string recordRoot = server.LogRoot() + "127.0.0.1";
  TMountedTmpfs disk(recordRoot, "1m");
  if (!disk.Mounted()) {
    GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  }
  const std::string ballast = recordRoot + "/ballast.bin";
  std::ofstream(ballast, std::ios::binary) << std::string(600 * 1024, 'b');
  server.Configure("LogMode=2\n");
  server.StartAndWaitForListener();

  constexpr int Before = 6000;
  constexpr int After = 100;
  TLoopbackClient client(server.TcpPort());
  ASSERT_TRUE(SendRecords(client, 0, 0, Before));
  ASSERT_TRUE(WaitUntil([&] { return CountOf(server.DiagnosticLog(), "NEW MSG: ") >= Before; }));
  ASSERT_TRUE(server.WaitForDiagnosticLine("[code=28] WRITE FAILED: " + recordRoot + "/"));

  std::filesystem::remove(ballast);
  ASSERT_TRUE(SendRecords(client, 0, 0, After, "after "));
  ASSERT_TRUE(WaitUntil([&] {
    const TTreeLines lines = ReadRecordLines(recordRoot);
    return !lines.Texts.empty() && lines.Texts.back() == "after " + LoadText(After - 1, 0);
  }));
  ASSERT_TRUE(server.Stop());

  const TTreeLines lines = ReadRecordLines(recordRoot);
  EXPECT_EQ(lines.Broken, "");
  const std::uint64_t dropped = DroppedLines(server.DiagnosticLog(), 28, "WRITE FAILED");
  std::printf("disk full: %zu lines kept, %llu dropped and reported, of %d\n", lines.Texts.size(),
              static_cast<unsigned long long>(dropped), Before + After);
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(lines.Texts.size() + dropped, static_cast<std::size_t>(Before + After));
  std::size_t afterLines = 0;
  for (const std::string& text : lines.Texts) {
    afterLines += text.starts_with("after ") ? 1 : 0;
  }
  EXPECT_EQ(afterLines, static_cast<std::size_t>(After));
}

// The record tree made read-only mid-run: the opens fail and their lines are counted and
// reported; made writable again, the next open (at most a second later) succeeds.
TEST(ServerFaultTest, AReadOnlyLogTreeDropsCountedLinesAndRecovers) {
  TServerUnderTest server;
  const std::string recordRoot = server.LogRoot() + "127.0.0.1";
  TMountedTmpfs disk(recordRoot, "16m");
  if (!disk.Mounted()) {
    GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  }
  server.Configure();
  server.StartAndWaitForListener();
  {
    TLoopbackClient first(server.TcpPort());
    ASSERT_TRUE(SendRecords(first, 1, 0, 10));
    ASSERT_TRUE(WaitUntil([&] { return ReadRecordLines(recordRoot).Texts.size() == 10; }));
  }
  // The file closes when its sender goes; a mount with a file open for writing cannot be made
  // read-only.
  ASSERT_TRUE(server.WaitForDiagnosticLine("CLIENT DISCONNECTED"));
  ASSERT_EQ(RunCommand("mount --bind '" + recordRoot + "' '" + recordRoot + "' && mount -o " +
                       "remount,bind,ro '" + recordRoot + "'"),
            0);

  TLoopbackClient second(server.TcpPort());
  ASSERT_TRUE(SendRecords(second, 1, 10, 20));
  ASSERT_TRUE(server.WaitForDiagnosticLine("[code=30] OPEN FAILED: " + recordRoot + "/"));

  ASSERT_EQ(RunCommand("mount -o remount,bind,rw '" + recordRoot + "'"), 0);
  std::this_thread::sleep_for(1100ms);  // past the one-second retry
  ASSERT_TRUE(SendRecords(second, 1, 30, 10));
  ASSERT_TRUE(WaitUntil([&] { return ReadRecordLines(recordRoot).Texts.size() == 20; }));
  ASSERT_TRUE(server.Stop());

  const TTreeLines lines = ReadRecordLines(recordRoot);
  EXPECT_EQ(lines.Broken, "");
  EXPECT_EQ(lines.Texts.front(), LoadText(0, 1));
  EXPECT_EQ(lines.Texts.back(), LoadText(39, 1));
  EXPECT_EQ(DroppedLines(server.DiagnosticLog(), 30, "OPEN FAILED"), 20u);
}

// Ten clients send to the server as fast as they can; each one's sender thread stops once its
// connection fails.
class TLoad {
 public:
  TLoad(std::uint16_t port, int clients, int recordsPerClient) : FClients(clients) {
    for (int c = 0; c < clients; ++c) {
      FThreads.emplace_back([this, port, c, recordsPerClient] {
        TLoopbackClient& client = FClients[static_cast<std::size_t>(c)];
        if (!client.Connect(port) || !SendRecords(client, c, 0, recordsPerClient)) {
          ++FFailures;
        }
      });
    }
  }
  // The connections stay open until the end: closing one with unread probe frames resets it.
  void Join() {
    for (std::thread& thread : FThreads) {
      thread.join();
    }
    FThreads.clear();
  }
  ~TLoad() { Join(); }
  int Failures() const { return FFailures.load(); }

 private:
  std::vector<TLoopbackClient> FClients;
  std::vector<std::thread> FThreads;
  std::atomic<int> FFailures{0};
};

TEST(ServerFaultTest, KillDuringLoadLeavesOnlyWholeLines) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  const std::string recordRoot = server.LogRoot() + "127.0.0.1";
  constexpr std::size_t Killed = LoadSize(20'000);
  TLoad load(server.TcpPort(), 10, LoadSize(20'000));
  ASSERT_TRUE(WaitUntil([&] { return ReadRecordLines(recordRoot).Texts.size() >= Killed; }, 120s));
  server.Process().Kill();
  ASSERT_TRUE(server.Process().WaitFor(30'000));
  load.Join();

  const TTreeLines lines = ReadRecordLines(recordRoot);
  std::printf("kill -9 under load: %zu whole lines on disk\n", lines.Texts.size());
  EXPECT_EQ(lines.Broken, "");
  EXPECT_GE(lines.Texts.size(), Killed);
}

TEST(ServerFaultTest, TermDuringLoadStoresEveryRecordTheClientsSent) {
  constexpr int Clients = 10;
  constexpr int RecordsPerClient = LoadSize(20'000);
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  const std::string recordRoot = server.LogRoot() + "127.0.0.1";
  TLoad load(server.TcpPort(), Clients, RecordsPerClient);
  // Sent means handed to the clients' kernel; the server is still at work on them.
  load.Join();
  ASSERT_EQ(load.Failures(), 0);
  const std::size_t onDiskAtStop = ReadRecordLines(recordRoot).Texts.size();
  ASSERT_TRUE(server.Stop());
  EXPECT_EQ(server.Process().ExitCode(), 0);

  const TTreeLines lines = ReadRecordLines(recordRoot);
  std::printf("SIGTERM under load: %zu of %d lines were on disk at the stop, %zu after it\n",
              onDiskAtStop, Clients * RecordsPerClient, lines.Texts.size());
  EXPECT_EQ(lines.Broken, "");
  ASSERT_EQ(lines.Texts.size(), static_cast<std::size_t>(Clients * RecordsPerClient));
  // Each client's records, all of them, in the order sent.
  std::map<int, int> next;
  static const std::regex text(R"(^record (\d+) of client (\d+) x+$)");
  for (const std::string& line : lines.Texts) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, text)) << line;
    const int client = std::stoi(match[2]);
    ASSERT_EQ(std::stoi(match[1]), next[client]++) << "client " << client;
  }
  const std::string log = server.DiagnosticLog();
  EXPECT_EQ(log.find("STOP TIME-OUT"), std::string::npos);
}

// A plug-in that never returns from LogProvider_AddMessage: the stop ends at its time-out (made
// short here through KELVRA_STOP_TIMEOUT_MS), and the records it never got are counted.
TEST(ServerFaultTest, ABlockedPluginCannotHoldUpTheStop) {
  TServerUnderTest server;
  server.Configure("LogMode=2\nPluginIsolation=0\n[Providers]\n127.0.0.1|Block|m|=" +
                   std::string(KELVRA_BLOCKING_PLUGIN) + "\n");
  server.SetEnvironment("KELVRA_STOP_TIMEOUT_MS", "1500");
  server.StartAndWaitForListener();
  TLoopbackClient client(server.TcpPort());
  std::string frames;
  for (int i = 0; i < 5; ++i) {
    frames += RecordFrame("Block", "m", "", "to the plug-in " + std::to_string(i), ClientNoon);
  }
  ASSERT_TRUE(client.Send(frames));
  ASSERT_TRUE(WaitUntil([&] { return CountOf(server.DiagnosticLog(), "NEW MSG: ") == 5; }));

  const auto start = Clock::now();
  ASSERT_TRUE(server.Stop());
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("stop with a blocked plug-in took %lld ms\n", static_cast<long long>(took.count()));
  EXPECT_EQ(server.Process().ExitCode(), 0) << server.Output();
  EXPECT_LT(took, 20s);

  Lines messages = Messages(server.DiagnosticLog());
  std::erase_if(messages, [](const std::string& m) {
    return m.starts_with("NEW MSG") || m.starts_with("CLIENT ");
  });
  EXPECT_EQ(
      messages,
      (Lines{"Log Server started", "Have normal TERM SIGNAL", "STOPPING CONECTION CONTROLLER...",
             "STOPPED CONECTION CONTROLLER...OK", "STOPPING NET TPKT SERVER...",
             "STOPPED NET TPKT SERVER...OK", "STOPPING NET SYSLOG SERVER...",
             "STOPPED NET SYSLOG SERVER...OK", "STOPPING LOG QUEUE...", "STOPPED LOG QUEUE...OK",
             "STOPPING LOG PRODUCER...", "STOP TIME-OUT: 5 PLUG-IN RECORDS LOST",
             "STOPPED LOG PRODUCER...OK", "Log Server stopped"}));
}

}  // namespace

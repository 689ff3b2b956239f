// The server as the Windows service "Log_Service", end to end and for real: the executable copied
// into a directory of its own installs itself in the Service Control Manager (Wine's when the tests
// run under Wine), runs as the service the manager starts, answers its controls and removes itself
// again. The steps share the one service name, so they run in order within one test.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/uChildProcess.h"
#include "platform/uServiceManager.h"
#include "tests/server/uServerUnderTest.h"
#include "tests/uTestDirectory.h"

namespace {

using Lines = std::vector<std::string>;
using namespace e2e;

constexpr std::uint32_t ExitTimeoutMs = 60'000;
constexpr int ErrorServiceNotActive = 1062;
constexpr int ErrorServiceDoesNotExist = 1060;

const Lines StopSequence = {"Have normal TERM SIGNAL",
                            "STOPPING CONECTION CONTROLLER...",
                            "STOPPED CONECTION CONTROLLER...OK",
                            "STOPPING NET TPKT SERVER...",
                            "STOPPED NET TPKT SERVER...OK",
                            "STOPPING NET SYSLOG SERVER...",
                            "STOPPED NET SYSLOG SERVER...OK",
                            "STOPPING LOG QUEUE...",
                            "STOPPED LOG QUEUE...OK",
                            "STOPPING LOG PRODUCER...",
                            "STOPPED LOG PRODUCER...OK"};

class ServiceProcessWin32Test : public testing::Test {
 protected:
  void SetUp() override { std::filesystem::copy_file(KELVRA_SERVER_EXE, Program()); }

  // "KelvraLogServer.exe": the executable's name also names the diagnostic log's folders.
  static std::string ProgramName() {
    return std::filesystem::path(KELVRA_SERVER_EXE).filename().string();
  }
  std::string Program() const { return FDir.File(ProgramName()); }
  std::string ConfigPath() const { return FDir.File("LogServer.conf"); }
  std::string DiagnosticRoot() const {
    return FDir.Dir() + NativePath("Logs/0.0.0.0/" + ProgramName() + "/" + ProgramName());
  }

  void WriteConfig(int runMode) {
    WriteTextFile(ConfigPath(), "[Common]\nServicePort=" + std::to_string(FTcpPort) +
                                    "\nSysLogPort=" + std::to_string(FUdpPort) +
                                    "\nRunMode=" + std::to_string(runMode) +
                                    // No connection lines: the log's lines are known exactly.
                                    "\nLogMode=0\n");
  }

  std::string SavedRunMode() const {
    std::string value = "(none)";
    for (const std::string& line : SplitLines(ReadTextFile(ConfigPath()))) {
      if (line.rfind("RunMode=", 0) == 0) {
        value = line.substr(8);
      }
    }
    return value;
  }

  static Lines SplitLines(const std::string& text) {
    Lines lines;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) {
        end = text.size();
      }
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      lines.push_back(line);
      start = end + 1;
    }
    return lines;
  }

  // Runs the program by hand to its end; its exit code.
  int RunToEnd() {
    TChildProcess::TOptions options;
    options.Program = Program();
    options.WorkingDirectory = FDir.Dir();
    options.OutputPath = FDir.File("output.txt");
    TChildProcess child(options);
    EXPECT_TRUE(child.WaitFor(ExitTimeoutMs));
    return child.ExitCode();
  }

  Lines LogMessages() const { return Messages(ReadLogTree(DiagnosticRoot())); }

  static std::uint32_t Interrogate(int& error) {
    std::uint32_t state = 0;
    error = ControlInstalledService("Log_Service", ServiceControlInterrogate, state);
    return state;
  }

  TTestDirectory FDir;
  const std::uint16_t FTcpPort = FreePort(false);
  const std::uint16_t FUdpPort = FreePort(true);
};

// Uses the service "Log_Service" of the Service Control Manager: none may be installed before, and
// none is left after.
class ServiceControlManagerWin32Test : public ServiceProcessWin32Test {
 protected:
  void SetUp() override {
    ServiceProcessWin32Test::SetUp();
    // A service left by an earlier run that broke off would fail the installation.
    RemoveService();
  }
  void TearDown() override {
    std::uint32_t state = 0;
    ControlInstalledService("Log_Service", ServiceControlStop, state);
    WaitUntil([] {
      std::uint32_t current = 0;
      return ControlInstalledService("Log_Service", ServiceControlInterrogate, current) != 0;
    });
    RemoveService();
  }

  static void RemoveService() {
    const auto manager = CreateServiceManager();
    if (manager->OpenManager() == 0 && manager->OpenService("Log_Service") == 0) {
      manager->DeleteService();
    }
  }
};

TEST_F(ServiceControlManagerWin32Test, InstallRunStopAndRemove) {
  // Installation: the service is registered, RunMode 1 saved, and the manager starts it.
  WriteConfig(2);
  ASSERT_EQ(RunToEnd(), 0) << ReadTextFile(FDir.File("output.txt"));
  EXPECT_EQ(SavedRunMode(), "1");
  // The started service may be writing its own lines already.
  ASSERT_FALSE(LogMessages().empty());
  EXPECT_EQ(LogMessages().front(), "Service successfully installed");

  // The service serves: a record sent to it lands in its stream's file.
  TLoopbackClient client;
  ASSERT_TRUE(WaitUntil([&] { return client.Connect(FTcpPort); })) << "the service never listened";
  ASSERT_TRUE(client.Send(RecordFrame("Billing", "Core", "", "as a service", 0)));
  const std::string stream = FDir.Dir() + NativePath("Logs/127.0.0.1/Billing/Core");
  ASSERT_TRUE(WaitUntil([&] {
    const auto files = FilesBelow(stream);
    return files.size() == 1 && ReadTextFile(files[0].string()) == "as a service\r\n";
  }));
  client.Close();

  // An interrogation answers running; the stop control is taken at once (stop pending) and the
  // service ends with the whole stop sequence logged.
  int error = -1;
  EXPECT_EQ(Interrogate(error), ServiceStateRunning);
  EXPECT_EQ(error, 0);
  std::uint32_t state = 0;
  ASSERT_EQ(ControlInstalledService("Log_Service", ServiceControlStop, state), 0);
  EXPECT_EQ(state, ServiceStateStopPending);
  ASSERT_TRUE(WaitUntil([&] {
    Interrogate(error);
    return error == ErrorServiceNotActive;
  })) << "last interrogation: "
      << error;
  ASSERT_TRUE(WaitUntil([&] {
    const Lines messages = LogMessages();
    return !messages.empty() && messages.back() == "Log Server stopped";
  }));
  Lines expected = {"Service successfully installed", "Log Server started"};
  expected.insert(expected.end(), StopSequence.begin(), StopSequence.end());
  expected.push_back("Log Server stopped");
  EXPECT_EQ(LogMessages(), expected);

  // A second installation finds the service there.
  std::filesystem::remove_all(FDir.File("Logs"));
  WriteConfig(2);
  ASSERT_EQ(RunToEnd(), 0);
  EXPECT_EQ(SavedRunMode(), "2");
  EXPECT_EQ(LogMessages(),
            (Lines{"Fail \"CreateService\" with code 1073", "Install process stopped"}));

  // Removal: RunMode 0, and the service is gone.
  std::filesystem::remove_all(FDir.File("Logs"));
  WriteConfig(3);
  ASSERT_EQ(RunToEnd(), 0);
  EXPECT_EQ(SavedRunMode(), "0");
  EXPECT_EQ(LogMessages(), Lines{"Service successfully uninstalled"});
  Interrogate(error);
  EXPECT_EQ(error, ErrorServiceDoesNotExist);

  // A second removal finds none.
  std::filesystem::remove_all(FDir.File("Logs"));
  WriteConfig(3);
  ASSERT_EQ(RunToEnd(), 0);
  EXPECT_EQ(SavedRunMode(), "3");
  EXPECT_EQ(LogMessages(),
            (Lines{"Fail \"OpenService\" with code 1060", "Uninstall process stopped"}));
}

TEST_F(ServiceProcessWin32Test, StartedByHandWithRunModeOneTheDispatcherFailsWith1063) {
  WriteConfig(1);

  EXPECT_EQ(RunToEnd(), 0) << ReadTextFile(FDir.File("output.txt"));

  EXPECT_EQ(LogMessages(),
            (Lines{"Log Server started",
                   "Abnormally stopped \"StartServiceCtrlDispatcher\" with error code 1063",
                   "Log Server stopped"}));
  EXPECT_EQ(SavedRunMode(), "1");
}

}  // namespace

// The server as the service "Log_Service", end to end: the real executable copied into a directory
// of its own, systemd stood in for by a unit directory, a recording systemctl and a notification
// socket that the test reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/uChildProcess.h"
#include "platform/uLocalDatagramSocket.h"
#include "platform/uStopSignals.h"
#include "tests/posix/uFakeSystemctl.h"
#include "tests/server/uServerUnderTest.h"
#include "tests/uTestDirectory.h"

namespace {

using Lines = std::vector<std::string>;

constexpr std::uint32_t ExitTimeoutMs = 60'000;

class ServiceProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(KELVRA_SERVER_EXE, Program());
    std::filesystem::create_directory(UnitDir());
    // The stand-in for systemctl notes the RunMode the file holds when the service is started.
    WriteFakeSystemctl(FDir, "",
                       "[ \"$1\" = start ] && grep '^RunMode=' '" + ConfigPath() + "' > '" +
                           FDir.File("runmode-at-start") + "'\n");
  }

  std::string Program() const { return FDir.File("KelvraLogServer"); }
  std::string ConfigPath() const { return FDir.File("LogServer.conf"); }
  std::string UnitDir() const { return FDir.File("units"); }
  std::string UnitPath() const { return UnitDir() + "/Log_Service.service"; }

  void WriteConfig(int runMode) {
    WriteTextFile(ConfigPath(), "[Common]\nServicePort=" + std::to_string(e2e::FreePort(false)) +
                                    "\nSysLogPort=" + std::to_string(e2e::FreePort(true)) +
                                    "\nRunMode=" + std::to_string(runMode) + "\n");
  }

  std::string SavedRunMode() const {
    for (const std::string& line : SplitLines(ReadTextFile(ConfigPath()))) {
      if (line.rfind("RunMode=", 0) == 0) {
        return line.substr(8);
      }
    }
    return "(none)";
  }

  TChildProcess::TOptions Options(const std::string& notifySocket = "") const {
    TChildProcess::TOptions options;
    options.Program = Program();
    options.WorkingDirectory = FDir.Dir();
    options.OutputPath = FDir.File("output.txt");
    options.Environment = {{"KELVRA_UNIT_DIR", UnitDir()},
                           {"KELVRA_SYSTEMCTL", FDir.File("systemctl")},
                           {"NOTIFY_SOCKET", notifySocket}};
    return options;
  }

  // Runs the program to its end; its exit code.
  int RunToEnd(TChildProcess::TOptions options) {
    TChildProcess child(options);
    EXPECT_TRUE(child.WaitFor(ExitTimeoutMs));
    return child.ExitCode();
  }

  // Binds the notification socket the service reports to; its name for NOTIFY_SOCKET, in the
  // abstract namespace (a socket path would be longer than the system allows).
  static std::string BindNotifySocket(TLocalDatagramSocket& notifications) {
    const std::string name = "@kelvra-notify-" + std::to_string(std::random_device{}());
    EXPECT_EQ(notifications.Bind(name), 0);
    return name;
  }
  // The next notification, "(none)" when none comes in time.
  static std::string NextNotification(TLocalDatagramSocket& notifications) {
    std::string text;
    return notifications.Receive(text, ExitTimeoutMs) ? text : "(none)";
  }

  // The messages of the diagnostic log, without their time stamps, across its hourly files.
  Lines LogMessages() const { return e2e::Messages(e2e::ReadLogTree(FDir.File("Logs"))); }

  TTestDirectory FDir;
};

TEST_F(ServiceProcessTest, InstallWritesTheUnitSavesRunModeOneAndStartsTheService) {
  WriteConfig(2);

  EXPECT_EQ(RunToEnd(Options()), 0) << ReadTextFile(FDir.File("output.txt"));

  EXPECT_EQ(ReadTextFile(UnitPath()),
            "# Kelvra Log Service\n"
            "[Unit]\n"
            "Description=Kelvra Logging Server service\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=" +
                Program() +
                "\n"
                "\n"
                "[Install]\n"
                "WantedBy=multi-user.target\n");
  EXPECT_EQ(RecordedSystemctlCalls(FDir),
            (Lines{"daemon-reload", "enable Log_Service", "start Log_Service"}));
  EXPECT_EQ(ReadTextFile(FDir.File("runmode-at-start")), "RunMode=1\n");
  EXPECT_EQ(SavedRunMode(), "1");
  EXPECT_EQ(LogMessages(), Lines{"Service successfully installed"});
}

TEST_F(ServiceProcessTest, RemoveDisablesAndDeletesTheUnitAndSavesRunModeZero) {
  WriteConfig(3);
  WriteTextFile(UnitPath(), "[Unit]\n");

  EXPECT_EQ(RunToEnd(Options()), 0) << ReadTextFile(FDir.File("output.txt"));

  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_EQ(RecordedSystemctlCalls(FDir), (Lines{"disable Log_Service", "daemon-reload"}));
  EXPECT_EQ(SavedRunMode(), "0");
  EXPECT_EQ(LogMessages(), Lines{"Service successfully uninstalled"});
}

TEST_F(ServiceProcessTest, AFailedInstallOrRemoveIsLoggedAndKeepsRunMode) {
  const struct {
    const char* name;
    int runMode;
    bool unitExists;
    bool unitDirMissing;
    Lines messages;
  } cases[] = {
      {"install over an existing unit",
       2,
       true,
       false,
       {"Fail \"CreateService\" with code 17", "Install process stopped"}},
      {"install without a unit directory",
       2,
       false,
       true,
       {"Fail \"OpenSCManager\" with code 2", "Install process stopped"}},
      {"remove without a unit",
       3,
       false,
       false,
       {"Fail \"OpenService\" with code 2", "Uninstall process stopped"}},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    std::filesystem::remove_all(FDir.File("Logs"));
    std::filesystem::remove_all(UnitDir());
    if (!item.unitDirMissing) {
      std::filesystem::create_directory(UnitDir());
    }
    if (item.unitExists) {
      WriteTextFile(UnitPath(), "[Unit]\n");
    }
    WriteConfig(item.runMode);

    EXPECT_EQ(RunToEnd(Options()), 0) << ReadTextFile(FDir.File("output.txt"));

    EXPECT_EQ(SavedRunMode(), std::to_string(item.runMode));
    EXPECT_EQ(LogMessages(), item.messages);
    EXPECT_EQ(std::filesystem::exists(UnitPath()), item.unitExists);
    EXPECT_EQ(RecordedSystemctlCalls(FDir), Lines{});
  }
}

TEST_F(ServiceProcessTest, StartedByHandWithRunModeOneTheDispatcherFailsAndTheProcessEnds) {
  WriteConfig(1);

  EXPECT_EQ(RunToEnd(Options()), 0) << ReadTextFile(FDir.File("output.txt"));

  const Lines messages = LogMessages();
  ASSERT_EQ(messages.size(), 3u) << testing::PrintToString(messages);
  EXPECT_EQ(messages[0], "Log Server started");
  const std::string failure = "Abnormally stopped \"StartServiceCtrlDispatcher\" with error code ";
  ASSERT_EQ(messages[1].rfind(failure, 0), 0u) << messages[1];
  EXPECT_GT(std::stoi(messages[1].substr(failure.size())), 0);
  EXPECT_EQ(messages[2], "Log Server stopped");
  EXPECT_EQ(SavedRunMode(), "1");
}

#ifdef KELVRA_HAVE_LIBSYSTEMD

TEST_F(ServiceProcessTest, UnderTheServiceManagerReportsEachStateAndStopsOnEitherStopSignal) {
  for (const bool interrupt : {false, true}) {
    SCOPED_TRACE(interrupt ? "SIGINT" : "SIGTERM");
    std::filesystem::remove_all(FDir.File("Logs"));
    WriteConfig(1);
    TLocalDatagramSocket notifications;
    const std::string notifySocket = BindNotifySocket(notifications);
    TChildProcess child(Options(notifySocket));
    const auto next = [&] { return NextNotification(notifications); };

    ASSERT_EQ(next(), "READY=1");
    if (interrupt) {
      child.Interrupt();
    } else {
      child.RequestStop();
    }
    // The control handler's report, then one before each of the five stop steps: each pushes
    // systemd's stop time-out out by the wait hint (the 30 s stop time-out plus 5 s).
    for (int checkPoint = 1; checkPoint <= 6; ++checkPoint) {
      EXPECT_EQ(next(), "STOPPING=1\nSTATUS=stopping, check point " + std::to_string(checkPoint) +
                            "\nEXTEND_TIMEOUT_USEC=35000000");
    }
    EXPECT_EQ(next(), "STATUS=stopped");
    ASSERT_TRUE(child.WaitFor(ExitTimeoutMs));

    EXPECT_EQ(child.ExitCode(), 0) << ReadTextFile(FDir.File("output.txt"));
    EXPECT_EQ(
        LogMessages(),
        (Lines{"Log Server started", "Have normal TERM SIGNAL", "STOPPING CONECTION CONTROLLER...",
               "STOPPED CONECTION CONTROLLER...OK", "STOPPING NET TPKT SERVER...",
               "STOPPED NET TPKT SERVER...OK", "STOPPING NET SYSLOG SERVER...",
               "STOPPED NET SYSLOG SERVER...OK", "STOPPING LOG QUEUE...", "STOPPED LOG QUEUE...OK",
               "STOPPING LOG PRODUCER...", "STOPPED LOG PRODUCER...OK", "Log Server stopped"}));
  }
}

// The statistics control (SIGUSR1, "systemctl kill -s USR1 Log_Service") writes the statistics
// and reports nothing to the service manager: the next report is the stop's first.
TEST_F(ServiceProcessTest, UnderTheServiceManagerTheStatisticsSignalWritesTheStatistics) {
  WriteConfig(1);
  TLocalDatagramSocket notifications;
  const std::string notifySocket = BindNotifySocket(notifications);
  TChildProcess child(Options(notifySocket));
  const auto next = [&] { return NextNotification(notifications); };
  ASSERT_EQ(next(), "READY=1");
  const auto answered = [&] {
    for (const std::string& message : LogMessages()) {
      if (message == "STATISTICS ON REQUEST: 0 FORWARDERS") {
        return true;
      }
    }
    return false;
  };
  ASSERT_EQ(SendStatisticsRequest(child.Id()), 0);
  ASSERT_TRUE(e2e::WaitUntil(answered));
  ASSERT_TRUE(child.Running());
  child.RequestStop();
  EXPECT_EQ(next(), "STOPPING=1\nSTATUS=stopping, check point 1\nEXTEND_TIMEOUT_USEC=35000000");
  ASSERT_TRUE(child.WaitFor(ExitTimeoutMs));
  EXPECT_EQ(child.ExitCode(), 0) << ReadTextFile(FDir.File("output.txt"));
}

#endif

}  // namespace

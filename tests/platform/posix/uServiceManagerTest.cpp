#include "platform/uServiceManager.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>

#include "platform/uChildProcess.h"
#include "platform/uEnvironment.h"
#include "platform/uLocalDatagramSocket.h"
#include "tests/posix/uFakeSystemctl.h"
#include "tests/uTestDirectory.h"

namespace {

using Calls = std::vector<std::string>;

const TServiceDefinition Definition{"Log_Service", "Kelvra Log Service",
                                    "/opt/kelvra/KelvraLogServer", "Kelvra Logging Server service"};

// Points the unit directory and systemctl at a scratch directory; restores the environment after.
class ServiceManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"KELVRA_UNIT_DIR", "KELVRA_SYSTEMCTL", "NOTIFY_SOCKET"}) {
      FSaved.emplace_back(name, EnvironmentValue(name));
    }
    std::filesystem::create_directories(UnitDir());
    UseSystemctl(WriteFakeSystemctl(FDirectory));
    SetEnvironmentValue("KELVRA_UNIT_DIR", UnitDir());
    SetEnvironmentValue("NOTIFY_SOCKET", "");
  }
  void TearDown() override {
    for (const auto& [name, value] : FSaved) {
      SetEnvironmentValue(name, value);
    }
  }

  static void UseSystemctl(const std::string& path) {
    SetEnvironmentValue("KELVRA_SYSTEMCTL", path);
  }
  std::string UnitDir() const { return FDirectory.File("units"); }
  std::string UnitPath() const { return UnitDir() + "/Log_Service.service"; }
  Calls SystemctlCalls() const { return RecordedSystemctlCalls(FDirectory); }

  // Opens the manager and creates the service with the program path.
  int Install(const std::string& programPath) {
    TServiceDefinition definition = Definition;
    definition.ProgramPath = programPath;
    EXPECT_EQ(FManager->OpenManager(), 0);
    return FManager->CreateService(definition);
  }

  TTestDirectory FDirectory;
  std::unique_ptr<TServiceManager> FManager = CreateServiceManager();

 private:
  std::vector<std::pair<std::string, std::string>> FSaved;
};

TEST_F(ServiceManagerTest, CreateWritesTheUnitThenReloadsAndEnables) {
  ASSERT_EQ(Install("/opt/kelvra/KelvraLogServer"), 0);

  EXPECT_EQ(ReadTextFile(UnitPath()),
            "# Kelvra Log Service\n"
            "[Unit]\n"
            "Description=Kelvra Logging Server service\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=/opt/kelvra/KelvraLogServer\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  EXPECT_EQ(SystemctlCalls(), (Calls{"daemon-reload", "enable Log_Service"}));
}

TEST_F(ServiceManagerTest, ExecStartIsQuotedWithABlankAndEscapesSpecifiers) {
  const struct {
    std::string path;
    std::string execStart;
  } cases[] = {
      {"/opt/kelvra/KelvraLogServer", "ExecStart=/opt/kelvra/KelvraLogServer\n"},
      {"/opt/my logs/KelvraLogServer", "ExecStart=\"/opt/my logs/KelvraLogServer\"\n"},
      {"/opt/100%/KelvraLogServer", "ExecStart=/opt/100%%/KelvraLogServer\n"},
      {"/opt/$HOME;x/KelvraLogServer", "ExecStart=/opt/$HOME;x/KelvraLogServer\n"},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.path);
    std::filesystem::remove(UnitPath());
    ASSERT_EQ(Install(item.path), 0);
    EXPECT_NE(ReadTextFile(UnitPath()).find("\n" + item.execStart), std::string::npos)
        << ReadTextFile(UnitPath());
    FManager->Close();
  }
}

TEST_F(ServiceManagerTest, APathThatSystemdWouldNotStartIsRefusedBeforeAnythingIsWritten) {
  for (const std::string path :
       {"/opt/it's/KelvraLogServer", "/opt/a\"b/KelvraLogServer", "/opt/a\\b/KelvraLogServer",
        "/opt/tab\there/KelvraLogServer", "/opt/new\nline/KelvraLogServer", ""}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Install(path), EINVAL);
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
    FManager->Close();
  }
  EXPECT_EQ(SystemctlCalls(), Calls{});
}

// systemd's own check of the unit, where systemd is installed (it need not be running).
TEST_F(ServiceManagerTest, SystemdAcceptsTheUnitOfAPathWithBlanksAndSpecifiers) {
  const std::string analyze = "/usr/bin/systemd-analyze";
  if (!std::filesystem::exists(analyze)) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  const std::string programDir = FDirectory.File("my logs 100% $HOME");
  std::filesystem::create_directories(programDir);
  WriteFakeSystemctl(FDirectory);  // any executable will do as the program
  std::filesystem::copy_file(FDirectory.File("systemctl"), programDir + "/KelvraLogServer");
  ASSERT_EQ(Install(programDir + "/KelvraLogServer"), 0);

  TChildProcess::TOptions options;
  options.Program = analyze;
  options.Arguments = {"verify", UnitPath()};
  options.OutputPath = FDirectory.File("verify.txt");
  TChildProcess verify(options);
  ASSERT_TRUE(verify.WaitFor(60'000));

  EXPECT_EQ(verify.ExitCode(), 0) << ReadTextFile(FDirectory.File("verify.txt"));
}

TEST_F(ServiceManagerTest, CreateOverAnExistingUnitFailsWithEexistAndLeavesItAlone) {
  WriteTextFile(UnitPath(), "[Unit]\nDescription=someone else's\n");

  EXPECT_EQ(Install("/opt/kelvra/KelvraLogServer"), EEXIST);

  EXPECT_EQ(ReadTextFile(UnitPath()), "[Unit]\nDescription=someone else's\n");
  EXPECT_EQ(SystemctlCalls(), Calls{});
}

TEST_F(ServiceManagerTest, CreateThatSystemdRefusesRemovesTheUnitAgain) {
  const struct {
    std::string failVerb;
    Calls calls;
  } cases[] = {
      {"daemon-reload", {"daemon-reload"}},
      {"enable", {"daemon-reload", "enable Log_Service", "daemon-reload"}},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.failVerb);
    std::filesystem::remove(FDirectory.File("systemctl.log"));
    UseSystemctl(WriteFakeSystemctl(FDirectory, item.failVerb));

    EXPECT_EQ(Install("/opt/kelvra/KelvraLogServer"), EIO);

    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
    EXPECT_EQ(SystemctlCalls(), item.calls);
    FManager->Close();
  }
}

TEST_F(ServiceManagerTest, CreateWithoutSystemctlGivesTheExecErrorAndRemovesTheUnit) {
  UseSystemctl(FDirectory.File("no-such-systemctl"));

  EXPECT_EQ(Install("/opt/kelvra/KelvraLogServer"), ENOENT);

  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
}

TEST_F(ServiceManagerTest, OpenManagerFailsWithTheErrnoOfTheUnitDirectory) {
  WriteTextFile(FDirectory.File("plain-file"), "");
  const struct {
    std::string unitDir;
    int code;
  } cases[] = {
      {FDirectory.File("missing"), ENOENT},
      {FDirectory.File("plain-file"), ENOTDIR},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.unitDir);
    SetEnvironmentValue("KELVRA_UNIT_DIR", item.unitDir);
    EXPECT_EQ(FManager->OpenManager(), item.code);
    EXPECT_EQ(FManager->CreateService(Definition), EBADF);
  }
}

TEST_F(ServiceManagerTest, StartRunsSystemctlStart) {
  ASSERT_EQ(Install("/opt/kelvra/KelvraLogServer"), 0);

  EXPECT_EQ(FManager->StartService(), 0);

  EXPECT_EQ(SystemctlCalls(), (Calls{"daemon-reload", "enable Log_Service", "start Log_Service"}));
}

TEST_F(ServiceManagerTest, DeleteDisablesRemovesTheUnitAndReloads) {
  WriteTextFile(UnitPath(), "[Unit]\n");
  ASSERT_EQ(FManager->OpenManager(), 0);
  ASSERT_EQ(FManager->OpenService("Log_Service"), 0);

  EXPECT_EQ(FManager->DeleteService(), 0);

  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_EQ(SystemctlCalls(), (Calls{"disable Log_Service", "daemon-reload"}));
}

TEST_F(ServiceManagerTest, OpenWithoutTheUnitFailsWithEnoent) {
  ASSERT_EQ(FManager->OpenManager(), 0);

  EXPECT_EQ(FManager->OpenService("Log_Service"), ENOENT);
  EXPECT_EQ(FManager->DeleteService(), EBADF);

  EXPECT_EQ(SystemctlCalls(), Calls{});
}

TEST_F(ServiceManagerTest, DeleteThatSystemdRefusesKeepsTheUnit) {
  UseSystemctl(WriteFakeSystemctl(FDirectory, "disable"));
  WriteTextFile(UnitPath(), "[Unit]\n");
  ASSERT_EQ(FManager->OpenManager(), 0);
  ASSERT_EQ(FManager->OpenService("Log_Service"), 0);

  EXPECT_EQ(FManager->DeleteService(), EIO);

  EXPECT_TRUE(std::filesystem::exists(UnitPath()));
  EXPECT_EQ(SystemctlCalls(), (Calls{"disable Log_Service"}));
}

TEST_F(ServiceManagerTest, DispatcherFailsWhenSystemdDidNotStartTheProcess) {
  bool entered = false;

  EXPECT_NE(FManager->RunDispatcher("Log_Service", [&] { entered = true; }), 0);

  EXPECT_FALSE(entered);
}

#ifdef KELVRA_HAVE_LIBSYSTEMD

// Reads the notifications the service sends, as systemd would.
class DispatcherTest : public ServiceManagerTest {
 protected:
  void SetUp() override {
    ServiceManagerTest::SetUp();
    // In the abstract namespace, as systemd's own socket may be.
    const std::string name = "@kelvra-notify-" + std::to_string(std::random_device{}());
    ASSERT_EQ(FNotifications.Bind(name), 0);
    SetEnvironmentValue("NOTIFY_SOCKET", name);
  }

  std::string NextNotification() {
    std::string text;
    return FNotifications.Receive(text, 10000) ? text : "(none)";
  }

  TLocalDatagramSocket FNotifications;
};

TEST_F(DispatcherTest, RunsTheEntryOnAThreadOfItsOwnAndReportsEachState) {
  std::thread::id entryThread;

  const int result = FManager->RunDispatcher("Log_Service", [&] {
    entryThread = std::this_thread::get_id();
    const TServiceStatusHandle handle =
        FManager->RegisterControlHandler("Log_Service", [](std::uint32_t) {});
    ASSERT_NE(handle, 0u);
    FManager->ReportStatus(0, ServiceStateRunning, 0);  // no handle: nothing is sent
    FManager->ReportStatus(handle, ServiceStateRunning, 0);
    FManager->ReportStatus(handle, ServiceStateStopPending, 0);
    FManager->ReportStatus(handle, ServiceStateStopped, 0);
  });

  EXPECT_EQ(result, 0);
  EXPECT_NE(entryThread, std::thread::id());
  EXPECT_NE(entryThread, std::this_thread::get_id());
  EXPECT_EQ(NextNotification(), "READY=1");
  EXPECT_EQ(NextNotification(), "STOPPING=1");
  EXPECT_EQ(NextNotification(), "STATUS=stopped");
}

// A long stop asks systemd for more time with each rising check point, as the wait hint asks the
// Service Control Manager.
TEST_F(DispatcherTest, AStopPendingReportWithACheckPointExtendsTheStopTimeout) {
  const int result = FManager->RunDispatcher("Log_Service", [&] {
    const TServiceStatusHandle handle =
        FManager->RegisterControlHandler("Log_Service", [](std::uint32_t) {});
    FManager->ReportStatus(handle, ServiceStateStopPending, 0, {1, 5000});
    FManager->ReportStatus(handle, ServiceStateStopPending, 0, {2, 12000});
  });

  EXPECT_EQ(result, 0);
  EXPECT_EQ(NextNotification(),
            "STOPPING=1\nSTATUS=stopping, check point 1\nEXTEND_TIMEOUT_USEC=5000000");
  EXPECT_EQ(NextNotification(),
            "STOPPING=1\nSTATUS=stopping, check point 2\nEXTEND_TIMEOUT_USEC=12000000");
}

TEST_F(DispatcherTest, AnErrorThatEscapesTheEntryIsRaisedAgainOnTheCallingThread) {
  EXPECT_THROW(FManager->RunDispatcher("Log_Service",
                                       [] { throw std::runtime_error("service thread failed"); }),
               std::runtime_error);
}

#endif

}  // namespace

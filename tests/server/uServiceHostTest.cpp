#include "server/uServiceHost.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using Events = std::vector<std::string>;

// Records every call, in one list with the log lines and saves, so that the order shows.
class TFakeServiceManager final : public TServiceManager {
 public:
  explicit TFakeServiceManager(Events& events) : FEvents(events) {}

  // The code an operation fails with ("OpenManager", "CreateService", ...); 0 when absent.
  std::map<std::string, int> Failures;

  // TServiceManager
  int OpenManager() override { return Record("OpenManager"); }
  int CreateService(const TServiceDefinition& service) override {
    return Record("CreateService", service.Name + "|" + service.DisplayName + "|" +
                                       service.ProgramPath + "|" + service.Description);
  }
  int OpenService(const std::string& name) override { return Record("OpenService", name); }
  int StartService() override { return Record("StartService"); }
  int DeleteService() override { return Record("DeleteService"); }
  void Close() override { Record("Close"); }
  int RunDispatcher(const std::string& name, const TServiceEntry&) override {
    return Record("RunDispatcher", name);
  }
  TServiceStatusHandle RegisterControlHandler(const std::string& name,
                                              const TServiceControlHandler&) override {
    Record("RegisterControlHandler", name);
    return 1;
  }
  void ReportStatus(TServiceStatusHandle, std::uint32_t state, std::uint32_t,
                    TServiceProgress) override {
    Record("ReportStatus", std::to_string(state));
  }

 private:
  int Record(const std::string& operation, const std::string& arguments = "") {
    FEvents.push_back(arguments.empty() ? operation : operation + " " + arguments);
    const auto failure = Failures.find(operation);
    return failure != Failures.end() ? failure->second : 0;
  }

  Events& FEvents;
};

struct TInstallerRun {
  bool result;
  std::int32_t runMode;
  Events events;
};

TInstallerRun RunInstaller(std::int32_t runMode, const std::map<std::string, int>& failures) {
  TInstallerRun run{false, runMode, {}};
  TFakeServiceManager manager(run.events);
  manager.Failures = failures;
  run.result = InstallOrRemoveService(
      run.runMode, manager, "/opt/kelvra/KelvraLogServer",
      [&](const std::string& line) { run.events.push_back("log: " + line); },
      [&](std::int32_t saved) { run.events.push_back("save: " + std::to_string(saved)); });
  return run;
}

TEST(InstallOrRemoveServiceTest, InstallSavesRunModeOneBeforeStartingTheService) {
  const TInstallerRun run = RunInstaller(RunModeInstall, {});

  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.runMode, 1);
  EXPECT_EQ(run.events,
            (Events{"OpenManager",
                    "CreateService Log_Service|Kelvra Log Service|"
                    "/opt/kelvra/KelvraLogServer|Kelvra Logging Server service",
                    "log: Service successfully installed", "save: 1", "StartService", "Close"}));
}

TEST(InstallOrRemoveServiceTest, AFailedStartIsNotExamined) {
  const TInstallerRun run = RunInstaller(RunModeInstall, {{"StartService", 1056}});

  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.runMode, 1);
  EXPECT_EQ(run.events.back(), "Close");
}

TEST(InstallOrRemoveServiceTest, RemoveSetsRunModeZero) {
  const TInstallerRun run = RunInstaller(RunModeRemove, {});

  EXPECT_FALSE(run.result);
  EXPECT_EQ(run.runMode, 0);
  EXPECT_EQ(run.events, (Events{"OpenManager", "OpenService Log_Service", "DeleteService",
                                "log: Service successfully uninstalled", "Close"}));
}

TEST(InstallOrRemoveServiceTest, EachFailureIsLoggedWithItsCodeAndLeavesRunMode) {
  const struct {
    std::int32_t runMode;
    std::string failing;
    int code;
    Events events;
  } cases[] = {
      {RunModeInstall,
       "OpenManager",
       13,
       {"OpenManager", "log: Fail \"OpenSCManager\" with code 13", "log: Install process stopped"}},
      {RunModeInstall,
       "CreateService",
       17,
       {"OpenManager",
        "CreateService Log_Service|Kelvra Log Service|/opt/kelvra/KelvraLogServer|"
        "Kelvra Logging Server service",
        "log: Fail \"CreateService\" with code 17", "log: Install process stopped", "Close"}},
      {RunModeRemove,
       "OpenManager",
       2,
       {"OpenManager", "log: Fail \"OpenSCManager\" with code 2",
        "log: Uninstall process stopped"}},
      {RunModeRemove,
       "OpenService",
       2,
       {"OpenManager", "OpenService Log_Service", "log: Fail \"OpenService\" with code 2",
        "log: Uninstall process stopped", "Close"}},
      {RunModeRemove,
       "DeleteService",
       1072,
       {"OpenManager", "OpenService Log_Service", "DeleteService",
        "log: Fail \"DeleteService\" with code 1072", "log: Uninstall process stopped", "Close"}},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(std::to_string(item.runMode) + " " + item.failing);
    const TInstallerRun run = RunInstaller(item.runMode, {{item.failing, item.code}});

    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.runMode, item.runMode);
    EXPECT_EQ(run.events, item.events);
  }
}

TEST(InstallOrRemoveServiceTest, OtherRunModesDoNothing) {
  for (const std::int32_t runMode : {0, 1, 4, -1}) {
    SCOPED_TRACE(runMode);
    const TInstallerRun run = RunInstaller(runMode, {});

    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.runMode, runMode);
    EXPECT_EQ(run.events, Events{});
  }
}

class TFakeMainControl final : public tServiceControlTarget {
 public:
  explicit TFakeMainControl(Events& events, bool stopRequested)
      : FEvents(events), FStopRequested(stopRequested) {}
  bool StopRequested() const override { return FStopRequested; }
  void RequestStop() override {
    FEvents.push_back("RequestStop");
    FStopRequested = true;
  }
  void RequestStatistics() override { FEvents.push_back("RequestStatistics"); }

 private:
  Events& FEvents;
  bool FStopRequested;
};

TEST(HandleServiceControlTest, ActsOnEachControlAsTheTableSays) {
  enum class TMain { Running, StopRequested, None };
  const struct {
    std::uint32_t control;
    TMain main;
    Events events;
  } cases[] = {
      {ServiceControlStop, TMain::Running, {"report 3", "RequestStop"}},
      {ServiceControlShutdown, TMain::Running, {"report 3", "RequestStop"}},
      {ServiceControlStop, TMain::None, {"report 3"}},
      {ServiceControlInterrogate, TMain::Running, {"report 4"}},
      {ServiceControlInterrogate, TMain::StopRequested, {"report 3"}},
      {ServiceControlInterrogate, TMain::None, {"report 3"}},
      {2, TMain::Running, {}},  // pause
      {3, TMain::Running, {}},  // continue
      {ServiceControlStatistics, TMain::Running, {"RequestStatistics"}},
      {ServiceControlStatistics, TMain::None, {}},
      {0x81, TMain::Running, {}},  // another user control
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(std::to_string(item.control) + " " + std::to_string(static_cast<int>(item.main)));
    Events events;
    TFakeMainControl main(events, item.main == TMain::StopRequested);

    HandleServiceControl(
        item.control, item.main == TMain::None ? nullptr : &main,
        [&](std::uint32_t state) { events.push_back("report " + std::to_string(state)); });

    EXPECT_EQ(events, item.events);
  }
}

TEST(HandleServiceControlTest, InterrogateAfterAStopAnswersStopPending) {
  Events events;
  TFakeMainControl main(events, false);
  const tReportStatusProc report = [&](std::uint32_t state) {
    events.push_back("report " + std::to_string(state));
  };

  HandleServiceControl(ServiceControlInterrogate, &main, report);
  HandleServiceControl(ServiceControlStop, &main, report);
  HandleServiceControl(ServiceControlInterrogate, &main, report);

  EXPECT_EQ(events, (Events{"report 4", "report 3", "RequestStop", "report 3"}));
}

}  // namespace

// The main control in service mode, with a fake service manager that plays the dispatcher: the
// service entry procedure on a thread of its own, controls handed in on the calling thread.
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/TEvent.h"
#include "server/uMainThread.h"
#include "tests/server/uServerUnderTest.h"
#include "tests/uTestDirectory.h"

namespace {

using Lines = std::vector<std::string>;

constexpr TServiceStatusHandle FakeHandle = 7;

// What the fake saw, shared with the test (the fake itself belongs to the main control).
struct TDispatcherRecord {
  std::mutex Lock;  // guards Reports
  std::vector<std::string> Reports;
  TEvent Running;
  bool ThrowOnRunning = false;

  Lines TakeReports() {
    std::lock_guard lock(Lock);
    return Reports;
  }
};

class TFakeDispatcher final : public TServiceManager {
 public:
  explicit TFakeDispatcher(TDispatcherRecord& record) : FRecord(record) {}

  // TServiceManager
  int OpenManager() override { return 1; }
  int CreateService(const TServiceDefinition&) override { return 1; }
  int OpenService(const std::string&) override { return 1; }
  int StartService() override { return 1; }
  int DeleteService() override { return 1; }
  void Close() override {}
  int RunDispatcher(const std::string& name, const TServiceEntry& entry) override {
    EXPECT_EQ(name, "Log_Service");
    std::thread service(entry);
    // Once the service runs: an interrogation, then the stop control, as the manager sends them.
    // A service that fails on its way up ends by itself.
    if (!FRecord.ThrowOnRunning && FRecord.Running.WaitFor(30'000)) {
      FHandler(ServiceControlInterrogate);
      FHandler(ServiceControlStop);
    }
    service.join();
    return 0;
  }
  TServiceStatusHandle RegisterControlHandler(const std::string& name,
                                              const TServiceControlHandler& handler) override {
    EXPECT_EQ(name, "Log_Service");
    FHandler = handler;
    return FakeHandle;
  }
  void ReportStatus(TServiceStatusHandle handle, std::uint32_t state, std::uint32_t exitCode,
                    TServiceProgress progress) override {
    {
      std::lock_guard lock(FRecord.Lock);
      // handle:state:exit code, and for a pending stop :check point:wait hint.
      std::string report =
          std::to_string(handle) + ":" + std::to_string(state) + ":" + std::to_string(exitCode);
      if (state == ServiceStateStopPending) {
        report +=
            ":" + std::to_string(progress.CheckPoint) + ":" + std::to_string(progress.WaitHintMs);
      } else {
        EXPECT_EQ(progress.CheckPoint, 0u);
        EXPECT_EQ(progress.WaitHintMs, 5000u);
      }
      FRecord.Reports.push_back(report);
    }
    if (state == ServiceStateRunning && FRecord.ThrowOnRunning) {
      throw std::runtime_error("status refused");
    }
    if (state == ServiceStateRunning) {
      FRecord.Running.Set();
    }
  }

 private:
  TDispatcherRecord& FRecord;
  TServiceControlHandler FHandler;  // set on the service thread before Running
};

class MainThreadServiceTest : public testing::Test {
 protected:
  void SetUp() override {
    WriteTextFile(FDir.File("LogServer.conf"),
                  "[Common]\nRunMode=1\nServicePort=" + std::to_string(e2e::FreePort(false)) +
                      "\nSysLogPort=" + std::to_string(e2e::FreePort(true)) + "\n");
  }

  // Runs the main control with the fake as MainControl, as the program entry does.
  void Run() {
    tMainThread control({FDir.File("server.bin"), nullptr, nullptr},
                        std::make_unique<TFakeDispatcher>(FRecord));
    MainControl = &control;
    try {
      control.Run();
    } catch (...) {
      MainControl = nullptr;
      throw;
    }
    MainControl = nullptr;
  }

  Lines LogMessages() const {
    return e2e::Messages(e2e::ReadLogTree(FDir.Dir() + "Logs/0.0.0.0/server.bin/server.bin"));
  }

  TTestDirectory FDir;
  TDispatcherRecord FRecord;
};

TEST_F(MainThreadServiceTest, ServiceReportsRunningAnswersInterrogationAndStopsOnTheStopControl) {
  Run();

  // Every stop-pending report has the next check point and the stop time-out plus 5 s as its
  // wait hint: one from the control handler, one before each of the five stop steps.
  EXPECT_EQ(FRecord.TakeReports(),
            (Lines{"7:4:0", "7:4:0", "7:3:0:1:35000", "7:3:0:2:35000", "7:3:0:3:35000",
                   "7:3:0:4:35000", "7:3:0:5:35000", "7:3:0:6:35000", "7:1:0"}));
  EXPECT_EQ(
      LogMessages(),
      (Lines{"Log Server started", "Have normal TERM SIGNAL", "STOPPING CONECTION CONTROLLER...",
             "STOPPED CONECTION CONTROLLER...OK", "STOPPING NET TPKT SERVER...",
             "STOPPED NET TPKT SERVER...OK", "STOPPING NET SYSLOG SERVER...",
             "STOPPED NET SYSLOG SERVER...OK", "STOPPING LOG QUEUE...", "STOPPED LOG QUEUE...OK",
             "STOPPING LOG PRODUCER...", "STOPPED LOG PRODUCER...OK", "Log Server stopped"}));
}

TEST_F(MainThreadServiceTest, AnErrorOnTheServiceThreadReportsStoppedAndLeavesRun) {
  FRecord.ThrowOnRunning = true;

  EXPECT_THROW(Run(), std::runtime_error);

  EXPECT_EQ(FRecord.TakeReports(), (Lines{"7:4:0", "7:1:1"}));
  EXPECT_EQ(LogMessages(), Lines{"Log Server started"});
}

}  // namespace

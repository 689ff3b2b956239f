// The service manager on Windows, for real: services created, started, stopped and deleted in the
// Service Control Manager (Wine's, when the tests run under Wine), and read back from the registry
// with the system's own reg.exe. Each test uses a service name of its own, removed at its end.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "platform/uChildProcess.h"
#include "platform/uEnvironment.h"
#include "platform/uServiceManager.h"
#include "tests/uTestDirectory.h"

namespace {

// The Service Control Manager's codes.
constexpr int ErrorInvalidHandle = 6;
constexpr int ErrorServiceDoesNotExist = 1060;
constexpr int ErrorFailedServiceControllerConnect = 1063;
constexpr int ErrorServiceExists = 1073;

class ServiceManagerWin32Test : public testing::Test {
 protected:
  void TearDown() override {
    // Whatever a test left installed goes, so that no run leaves services behind.
    const auto cleaner = CreateServiceManager();
    if (cleaner->OpenManager() == 0 && cleaner->OpenService(FName) == 0) {
      cleaner->DeleteService();
    }
  }

  TServiceDefinition Definition(const std::string& programPath) const {
    return {FName, "Kelvra Test Service", programPath, "Kelvra Logging Server service"};
  }

  // The values of the service's registry key, as "Name REG_TYPE data" lines; reg.exe's own output.
  std::string RegistryValues() const {
    TChildProcess::TOptions options;
    options.Program = EnvironmentValue("SystemRoot") + "\\system32\\reg.exe";
    options.Arguments = {"query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + FName};
    options.OutputPath = FDir.File("reg.txt");
    TChildProcess reg(options);
    EXPECT_TRUE(reg.WaitFor(60'000));
    return ReadTextFile(options.OutputPath);
  }

  static bool HasValue(const std::string& values, const std::string& name, const std::string& type,
                       const std::string& data) {
    const std::regex line("(^|\\n)\\s+" + name + "\\s+" + type + "\\s+" + data + "\\r?\\n");
    return std::regex_search(values, line);
  }

  const std::string FName = "KelvraTest" + std::to_string(std::random_device{}());
  TTestDirectory FDir;
  std::unique_ptr<TServiceManager> FManager = CreateServiceManager();
};

TEST_F(ServiceManagerWin32Test, CreateRegistersEveryValueAndTheDescription) {
  ASSERT_EQ(FManager->OpenManager(), 0);
  ASSERT_EQ(FManager->CreateService(Definition("C:\\Program Files\\Kelvra\\KelvraLogServer.exe")),
            0);

  const std::string values = RegistryValues();
  EXPECT_TRUE(HasValue(values, "Type", "REG_DWORD", "0x10")) << values;         // own process
  EXPECT_TRUE(HasValue(values, "Start", "REG_DWORD", "0x2")) << values;         // automatic
  EXPECT_TRUE(HasValue(values, "ErrorControl", "REG_DWORD", "0x1")) << values;  // normal
  EXPECT_TRUE(HasValue(values, "ImagePath", "REG_(EXPAND_)?SZ",
                       R"("C:\\Program Files\\Kelvra\\KelvraLogServer\.exe")"))
      << values;
  EXPECT_TRUE(HasValue(values, "ObjectName", "REG_SZ", "LocalSystem")) << values;
  EXPECT_TRUE(HasValue(values, "DisplayName", "REG_SZ", "Kelvra Test Service")) << values;
  EXPECT_TRUE(HasValue(values, "Description", "REG_SZ", "Kelvra Logging Server service")) << values;
}

TEST_F(ServiceManagerWin32Test, APathWithoutBlanksIsNotQuoted) {
  ASSERT_EQ(FManager->OpenManager(), 0);
  ASSERT_EQ(FManager->CreateService(Definition("C:\\srv\\KelvraLogServer.exe")), 0);

  const std::string values = RegistryValues();
  EXPECT_TRUE(HasValue(values, "ImagePath", "REG_(EXPAND_)?SZ", R"(C:\\srv\\KelvraLogServer\.exe)"))
      << values;
}

TEST_F(ServiceManagerWin32Test, CreateOfAnExistingServiceFailsWith1073) {
  ASSERT_EQ(FManager->OpenManager(), 0);
  ASSERT_EQ(FManager->CreateService(Definition("C:\\srv\\first.exe")), 0);
  FManager->Close();
  ASSERT_EQ(FManager->OpenManager(), 0);

  EXPECT_EQ(FManager->CreateService(Definition("C:\\srv\\second.exe")), ErrorServiceExists);

  EXPECT_TRUE(
      HasValue(RegistryValues(), "ImagePath", "REG_(EXPAND_)?SZ", R"(C:\\srv\\first\.exe)"));
}

TEST_F(ServiceManagerWin32Test, OpenAndDeleteThenOpenFailsWith1060) {
  ASSERT_EQ(FManager->OpenManager(), 0);
  ASSERT_EQ(FManager->CreateService(Definition("C:\\srv\\KelvraLogServer.exe")), 0);
  FManager->Close();

  ASSERT_EQ(FManager->OpenManager(), 0);
  ASSERT_EQ(FManager->OpenService(FName), 0);
  EXPECT_EQ(FManager->DeleteService(), 0);
  FManager->Close();

  ASSERT_EQ(FManager->OpenManager(), 0);
  EXPECT_EQ(FManager->OpenService(FName), ErrorServiceDoesNotExist);
  EXPECT_EQ(FManager->DeleteService(), ErrorInvalidHandle);
  EXPECT_EQ(FManager->StartService(), ErrorInvalidHandle);
}

TEST_F(ServiceManagerWin32Test, NothingCanBeCreatedOrOpenedWithoutTheManager) {
  EXPECT_EQ(FManager->CreateService(Definition("C:\\srv\\KelvraLogServer.exe")),
            ErrorInvalidHandle);
  EXPECT_EQ(FManager->OpenService(FName), ErrorInvalidHandle);
}

TEST_F(ServiceManagerWin32Test, ControlOfAServiceThatIsNotInstalledFailsWith1060) {
  std::uint32_t state = 0;
  EXPECT_EQ(ControlInstalledService(FName, ServiceControlInterrogate, state),
            ErrorServiceDoesNotExist);
}

TEST_F(ServiceManagerWin32Test, TheDispatcherOfAProcessThatTheManagerDidNotStartFailsWith1063) {
  bool entered = false;

  EXPECT_EQ(FManager->RunDispatcher(FName, [&] { entered = true; }),
            ErrorFailedServiceControllerConnect);

  EXPECT_FALSE(entered);
}

}  // namespace

// The C API, called from the C file beside this one, against the real server.
#include <gtest/gtest.h>

#include "tests/client/KelvraClientCApiCheck.h"
#include "tests/client/uClientTestSupport.h"

namespace {

using namespace e2e;

TEST(KelvraClientCApiTest, RecordsSentFromCLandAsExactLines) {
  TServerUnderTest server;
  server.Configure();
  server.StartAndWaitForListener();
  ASSERT_EQ(KelvraCApiSendRecords(server.TcpPort()), 0);
  const std::string stream = server.LogRoot() + "127.0.0.1/CApi/M";
  ASSERT_EQ(WaitForLines(stream, 3).size(), 3u);
  std::string prefixed;
  std::string unprefixed;
  for (const auto& file : FilesBelow(stream)) {
    (file.filename().string().rfind("p_", 0) == 0 ? prefixed : unprefixed) =
        ReadTextFile(file.string());
  }
  EXPECT_EQ(prefixed, "c one\r\nc two\r\n");
  // With an empty prefix the server takes the module name as the prefix.
  EXPECT_EQ(unprefixed, std::string("nul\0byte\r\n", 10));
}

TEST(KelvraClientCApiTest, RefusalsComeBackAsStatusCodes) {
  EXPECT_EQ(KelvraCApiRefusals(FreePort(false)), 0);
}

}  // namespace

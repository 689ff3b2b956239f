// The 64-bit server and a 32-bit plug-in DLL: the library goes to the 32-bit host,
// KelvraPluginHost32.exe beside the server. Without that host the start log says so in one line
// and the server serves everything else. (Wine on the test machines runs no 32-bit program, so
// the 32-bit host itself is not started here.)
#include <gtest/gtest.h>

#include <string>

#include "logging/uPortableExecutable.h"
#include "platform/uExecutableMachine.h"
#include "tests/server/uServerUnderTest.h"

namespace {

using namespace e2e;

// The first bytes of a 32-bit DLL, as far as the header is read.
std::string Image32() {
  std::string bytes(0x200, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3C] = static_cast<char>(0x80);
  bytes.replace(0x80, 4, std::string("PE\0\0", 4));
  bytes[0x84] = static_cast<char>(PortableExecutableI386 & 0xFF);
  bytes[0x85] = static_cast<char>(PortableExecutableI386 >> 8);
  return bytes;
}

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(ServerPluginHost32Win32Test, AMissing32BitHostIsOneClearLineAndTheServerGoesOn) {
  if (ProcessPortableExecutableMachine() != PortableExecutableAmd64) {
    GTEST_SKIP() << "only a 64-bit server chooses the 32-bit host";
  }
  TServerUnderTest server;
  server.CopyBesideServer(KELVRA_PLUGIN_HOST);
  const std::string library = server.Dir() + "Old32Plugin.dll";
  WriteTextFile(library, Image32());
  server.Configure("PluginIsolation=1\n[Providers]\n127.0.0.1|Old|m|=" + library + "\n");
  server.StartAndWaitForListener();
  TLoopbackClient client(server.TcpPort());
  ASSERT_TRUE(client.Send(RecordFrame("Old", "m", "", "to the 32-bit plug-in", 45358.5) +
                          RecordFrame("New", "m", "", "to a file", 45358.5)));
  ASSERT_TRUE(WaitUntil([&] {
    return ReadLogTree(server.LogRoot() + "127.0.0.1").find("to a file") != std::string::npos;
  }));
  ASSERT_TRUE(server.Stop());
  EXPECT_EQ(server.Process().ExitCode(), 0) << server.Output();

  const std::string log = server.DiagnosticLog();
  EXPECT_EQ(CountOf(log, "FAIL while load plug-in \"" + library +
                             "\": cannot start plug-in host \"" + server.Dir() +
                             "KelvraPluginHost32.exe\": no such file (a 32-bit library needs the "
                             "32-bit host)\r\n"),
            1u)
      << log;
  EXPECT_EQ(CountOf(log, "plug-in host"), 1u) << log;
  // The record its line claimed is not written to a file, as for any unusable plug-in.
  EXPECT_EQ(ReadLogTree(server.LogRoot() + "127.0.0.1").find("to the 32-bit plug-in"),
            std::string::npos);
}

}  // namespace

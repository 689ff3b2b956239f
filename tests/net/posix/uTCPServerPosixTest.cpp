#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/uTCPServer.h"
#include "platform/uSocket.h"
#include "tests/net/LoopbackClient.h"
#include "tests/net/TCPTestSupport.h"

namespace {

// The undefined-behaviour sanitizer checks a virtual call's object with a pipe of its own; with
// no descriptor left that check fails and reports a fault where there is none. The address
// sanitizer build carries it, so these tests run in the other builds only.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool SanitizerNeedsDescriptors = true;
#else
constexpr bool SanitizerNeedsDescriptors = false;
#endif

// Takes every descriptor the process may still open, under a soft limit lowered for the test,
// and gives them back (and the limit) when released.
class TDescriptorShortage {
 public:
  TDescriptorShortage() {
    getrlimit(RLIMIT_NOFILE, &FSaved);
    rlimit lowered = FSaved;
    lowered.rlim_cur = std::min<rlim_t>(FSaved.rlim_cur, HighestOpenDescriptor() + 64);
    setrlimit(RLIMIT_NOFILE, &lowered);
    // Twice: a descriptor the server's threads were still closing is taken by the second round.
    for (int round = 0; round < 2; ++round) {
      for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY)) {
        FTaken.push_back(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  ~TDescriptorShortage() { Release(); }
  TDescriptorShortage(const TDescriptorShortage&) = delete;
  TDescriptorShortage& operator=(const TDescriptorShortage&) = delete;

  void Release() {
    for (const int fd : FTaken) {
      close(fd);
    }
    FTaken.clear();
    setrlimit(RLIMIT_NOFILE, &FSaved);
  }

 private:
  static rlim_t HighestOpenDescriptor() {
    const int probe = open("/dev/null", O_RDONLY);
    close(probe);
    return static_cast<rlim_t>(probe);
  }

  rlimit FSaved{};
  std::vector<int> FTaken;
};

// A client that arrives while the process has no descriptor left finds either no descriptor
// for its socket (it then waits in the backlog) or none for its connection's event (it is
// turned away); either way the listener keeps its socket and serves everyone once the
// shortage is over.
TEST(TCPServerPosixTest, AClientArrivingWithNoDescriptorLeftDoesNotEndTheListener) {
  if (SanitizerNeedsDescriptors) {
    GTEST_SKIP() << "the sanitizer's own checks need descriptors";
  }
  TCPEventRecorder recorder;
  const auto server = TTPKTTCPServer::Create("127.0.0.1", recorder.Receive(), recorder.Send(),
                                             recorder.Disconnect(), recorder.Connect(), 0);
  const std::uint16_t port = WaitForBoundPort(*server);
  TLoopbackClient early(port);
  ASSERT_TRUE(recorder.WaitForCount(evConnect, 1));

  const TSocket late = OpenTcpSocket();
  ASSERT_NE(late, InvalidSocket);
  {
    TDescriptorShortage shortage;
    std::uint32_t loopback = 0;
    ParseIPv4Address("127.0.0.1", loopback);
    ASSERT_EQ(ConnectSocket(late, loopback, port), 0);
    const std::string frame = TPKTFrame("sent during the shortage");
    ASSERT_TRUE(SendAllBytes(late, frame.data(), frame.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(TCPEventRecorder::Count(recorder.Events(), evConnect), 1u);
  }
  EXPECT_EQ(server->FLastError(), 0);
  EXPECT_FALSE(server->Finished());
  // The early client was not reset, and a new one is served on the same socket.
  ASSERT_TRUE(early.Send(TPKTFrame("after")));
  TLoopbackClient next(port);
  ASSERT_TRUE(next.Connected());
  ASSERT_TRUE(next.Send(TPKTFrame("next")));
  ASSERT_TRUE(WaitForCondition([&] {
    const auto events = recorder.Events();
    const auto received = [&events](const char* text) {
      return std::any_of(events.begin(), events.end(), [text](const auto& event) {
        return event.Kind == evReceive && event.Data == text;
      });
    };
    return received("after") && received("next");
  }));
  CloseSocket(late);
}

TEST(TCPServerPosixTest, AnEventNeedsADescriptorAndSaysSoWhenThereIsNone) {
  if (SanitizerNeedsDescriptors) {
    GTEST_SKIP() << "the sanitizer's own checks need descriptors";
  }
  TDescriptorShortage shortage;
  const TSocketSignal none;
  EXPECT_FALSE(none.IsValid());
  shortage.Release();
  const TSocketSignal made;
  EXPECT_TRUE(made.IsValid());
}

}  // namespace

#include "plugins/forward/TForwarderLibrary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A forwarder whose AddRecord can be held, to see what LogProvider_Statistics does meanwhile.
class THeldForwarder {
 public:
  THeldForwarder(const std::string& /*settingsPath*/,
                 const std::function<void(const std::string&)>& /*report*/) {}
  void AddRecord(const TForwardRecord& /*record*/) {
    std::unique_lock lock(Lock);
    Entered = true;
    Changed.notify_all();
    Changed.wait(lock, [] { return Released; });
    ++Added;
  }
  void Stop() {}
  TLogProviderStatistics Statistics() const {
    TLogProviderStatistics counts{};
    counts.sent = Added.load();
    return counts;
  }

  static inline std::mutex Lock;  // guards Entered and Released
  static inline std::condition_variable Changed;
  static inline bool Entered = false;
  static inline bool Released = false;
  static inline std::atomic<unsigned long long> Added{0};
};

void Release() {
  std::lock_guard lock(THeldForwarder::Lock);
  THeldForwarder::Released = true;
  THeldForwarder::Changed.notify_all();
}

TEST(TForwarderLibraryTest, StatisticsAnswerWhileAnAddRecordIsHeldAndAfterFinalize) {
  TForwarderLibrary<THeldForwarder> library("Held");
  library.Initialize(reinterpret_cast<const void*>(&Release));
  std::thread sender([&] { library.AddRecord(0, 0, "10.0.0.1", 1, "a", "m", "", "held"); });
  {
    std::unique_lock lock(THeldForwarder::Lock);
    ASSERT_TRUE(
        THeldForwarder::Changed.wait_for(lock, 10s, [] { return THeldForwarder::Entered; }));
  }
  // Asked from another thread while the record is held: it answers at once.
  auto asked = std::async(std::launch::async, [&] {
    TLogProviderStatistics counts{};
    library.Statistics(&counts);
    return counts.sent;
  });
  const bool answered = asked.wait_for(10s) == std::future_status::ready;
  Release();
  sender.join();
  ASSERT_TRUE(answered) << "LogProvider_Statistics waited for LogProvider_AddRecord";
  EXPECT_EQ(asked.get(), 0u);

  library.Finalize();
  // The last counts stay; records offered after Finalize count as dropped.
  library.AddRecord(0, 0, "10.0.0.1", 1, "a", "m", "", "late");
  TLogProviderStatistics counts{};
  library.Statistics(&counts);
  EXPECT_EQ(counts.sent, 1u);
  EXPECT_EQ(counts.dropped, 1u);
}

}  // namespace

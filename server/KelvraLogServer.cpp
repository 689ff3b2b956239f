// Program entry of Kelvra Log Server. Everything comes from LogServer.conf beside the executable;
// the one command line it acts on is "--statistics <process id>", which asks that running server
// to write its statistics to its diagnostic log and ends at once.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "platform/uEnvironment.h"
#include "platform/uProcess.h"
#include "platform/uStopSignals.h"
#include "server/uMainThread.h"

namespace {

// The stop time-out in milliseconds. KELVRA_STOP_TIMEOUT_MS exists for the tests only, which
// cannot wait the 30 s of a stop held up by a plug-in; anything but a decimal number is ignored.
std::uint32_t StopTimeoutMs() {
  const std::string text = EnvironmentValue("KELVRA_STOP_TIMEOUT_MS");
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return tMainThreadEnvironment::DefaultStopTimeoutMs;
  }
  return value;
}

// "--statistics <pid>": sends the statistics request (SIGUSR1, or the statistics event on
// Windows) and gives the exit code: 0 sent, 1 not sent (the reason on standard error), 2 usage.
int SendStatistics(const char* processIdText) {
  int processId = 0;
  const char* end = processIdText + std::strlen(processIdText);
  const auto [at, error] = std::from_chars(processIdText, end, processId);
  if (error != std::errc() || at != end || processId <= 0) {
    std::fprintf(stderr, "usage: KelvraLogServer --statistics <process id>\n");
    return 2;
  }
  const int code = SendStatisticsRequest(processId);
  if (code != 0) {
    std::fprintf(stderr, "cannot reach process %d [code=%d]\n", processId, code);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--statistics") == 0) {
    return SendStatistics(argc == 3 ? argv[2] : "");
  }
  // Before any thread exists, so every thread inherits the block and the stop signals reach only
  // the watcher that turns them into a stop request.
  BlockStopSignals();
  RaiseOpenFileLimit();
  LimitHeapArenas();
  try {
    tMainThread control(
        tMainThreadEnvironment{ExecutablePath(), nullptr, nullptr, StopTimeoutMs()});
    MainControl = &control;
    control.Run();
    MainControl = nullptr;
    return 0;
  } catch (const std::exception& error) {
    MainControl = nullptr;
    ReportFatalError(error.what());
    return 1;
  } catch (...) {
    MainControl = nullptr;
    ReportFatalError("Unknown error");
    return 1;
  }
}

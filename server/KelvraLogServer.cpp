// Program entry of Kelvra Log Server. The executable reads no command-line arguments: everything
// comes from LogServer.conf beside it.
#include <charconv>
#include <cstdint>
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

}  // namespace

int main() {
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

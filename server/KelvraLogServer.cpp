// Program entry of Kelvra Log Server. The executable reads no command-line arguments: everything
// comes from LogServer.conf beside it.
#include <exception>

#include "platform/uProcess.h"
#include "platform/uStopSignals.h"
#include "server/uMainThread.h"

int main() {
  // Before any thread exists, so every thread inherits the block and the stop signals reach only
  // the watcher that turns them into a stop request.
  BlockStopSignals();
  RaiseOpenFileLimit();
  try {
    tMainThread control(tMainThreadEnvironment{ExecutablePath(), nullptr, nullptr});
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

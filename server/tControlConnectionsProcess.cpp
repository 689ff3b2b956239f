#include "server/tControlConnectionsProcess.h"

#include <utility>

tControlConnectionsProcess::tControlConnectionsProcess(tTickEvent OnTick, std::uint32_t intervalMs)
    : FOnTick(std::move(OnTick)), FIntervalMs(intervalMs) {
  Start();
}

tControlConnectionsProcess::~tControlConnectionsProcess() {
  Terminate();
  FStopEvent.Set();
  WaitFor();
}

void tControlConnectionsProcess::Execute() {
  while (!Terminated()) {
    if (FStopEvent.WaitFor(FIntervalMs)) {
      break;
    }
    if (FOnTick) {
      FOnTick();
    }
  }
}

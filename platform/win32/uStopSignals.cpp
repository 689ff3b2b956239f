// The stop request of a plain process on Windows: the console control events and a named event
// that another process sets (SendStopRequest). Both end in the process's stop event, which the
// watcher thread waits on, so that OnStop runs on the watcher's thread as on POSIX and nothing
// runs in the console's handler thread beyond setting an event. The statistics request is a
// second named event (SendStatisticsRequest), waited on by the same thread.
#include <windows.h>

#include <string>
#include <utility>

#include "platform/TThread.h"
#include "platform/uStopSignals.h"

namespace {

std::string StopEventName(DWORD processId) {
  return "Local\\KelvraLogServerStop-" + std::to_string(processId);
}

std::string StatisticsEventName(DWORD processId) {
  return "Local\\KelvraLogServerStatistics-" + std::to_string(processId);
}

// Sets the named event; false when it does not exist (no watcher runs).
bool SetNamedEvent(const std::string& name) {
  const HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str());
  if (event == nullptr) {
    return false;
  }
  const BOOL set = SetEvent(event);
  CloseHandle(event);
  return set != FALSE;
}

// Sets the stop event of the process; false when it has none.
bool SetStopEvent(DWORD processId) {
  return SetNamedEvent(StopEventName(processId));
}

// Runs on a thread that the console creates for each event. It reaches the watcher through the
// event's name, since the handler has no context: nothing is shared with the watcher object, which
// may be gone when an event comes late.
BOOL WINAPI ConsoleControlHandler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return SetStopEvent(GetCurrentProcessId()) ? TRUE : FALSE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (!SetStopEvent(GetCurrentProcessId())) {
        return FALSE;
      }
      // The system ends the process as soon as this handler returns: it does not return, so that
      // the stop sequence has the time the system grants (the process ends when main returns).
      Sleep(INFINITE);
      return TRUE;
    default:
      // A log-off is no reason for a background process to end.
      return FALSE;
  }
}

void CloseIfValid(HANDLE handle) {
  if (handle != nullptr) {
    CloseHandle(handle);
  }
}

}  // namespace

void BlockStopSignals() {
  // Windows has no signals to block: the console's events reach only the registered handler.
}

int SendStopRequest(int processId) {
  if (processId <= 0) {
    return ERROR_INVALID_PARAMETER;
  }
  return SetStopEvent(static_cast<DWORD>(processId)) ? 0 : static_cast<int>(GetLastError());
}

int SendStatisticsRequest(int processId) {
  if (processId <= 0) {
    return ERROR_INVALID_PARAMETER;
  }
  return SetNamedEvent(StatisticsEventName(static_cast<DWORD>(processId)))
             ? 0
             : static_cast<int>(GetLastError());
}

// The watcher thread: waits for the process's stop and statistics events together with FQuit,
// which the owner sets to end it.
class TStopSignalWatcher::TImpl : public TThread {
 public:
  TImpl(std::function<void()> OnStop, std::function<void()> OnStatistics)
      : FOnStop(std::move(OnStop)),
        FOnStatistics(std::move(OnStatistics)),
        // Auto-reset: each request wakes the watcher once.
        FStopEvent(
            CreateEventA(nullptr, FALSE, FALSE, StopEventName(GetCurrentProcessId()).c_str())),
        FStatisticsEvent(CreateEventA(nullptr, FALSE, FALSE,
                                      StatisticsEventName(GetCurrentProcessId()).c_str())),
        FQuit(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    FHandlerRegistered = SetConsoleCtrlHandler(ConsoleControlHandler, TRUE) != FALSE;
    Start();
  }

  ~TImpl() override {
    if (FHandlerRegistered) {
      SetConsoleCtrlHandler(ConsoleControlHandler, FALSE);
    }
    Terminate();
    if (FQuit != nullptr) {
      SetEvent(FQuit);
    }
    WaitFor();
    CloseIfValid(FStopEvent);
    CloseIfValid(FStatisticsEvent);
    CloseIfValid(FQuit);
  }

 protected:
  void Execute() override {
    if (FStopEvent == nullptr || FQuit == nullptr) {
      return;
    }
    // Without its event (a name taken by another object) statistics requests are not watched.
    const HANDLE waits[3] = {FQuit, FStopEvent, FStatisticsEvent};
    const DWORD count = FStatisticsEvent != nullptr ? 3 : 2;
    while (!Terminated()) {
      const DWORD result = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
      if (result == WAIT_OBJECT_0 + 1) {
        if (FOnStop) {
          FOnStop();
        }
      } else if (result == WAIT_OBJECT_0 + 2) {
        if (FOnStatistics) {
          FOnStatistics();
        }
      } else {
        return;  // the quit event, or a wait that cannot succeed
      }
    }
  }

 private:
  const std::function<void()> FOnStop;
  const std::function<void()> FOnStatistics;
  const HANDLE FStopEvent;        // the process's stop event, set by requests and console events
  const HANDLE FStatisticsEvent;  // the process's statistics event, set by requests
  const HANDLE FQuit;             // manual-reset, set by the owner to end the thread
  bool FHandlerRegistered = false;
};

TStopSignalWatcher::TStopSignalWatcher(std::function<void()> OnStop,
                                       std::function<void()> OnStatistics)
    : FImpl(std::make_unique<TImpl>(std::move(OnStop), std::move(OnStatistics))) {}

TStopSignalWatcher::~TStopSignalWatcher() = default;

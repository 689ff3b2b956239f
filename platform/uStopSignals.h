#pragma once

#include <functional>
#include <memory>

// The stop request of a plain process: it asks the server to stop the way the service manager's
// stop control does.
// - POSIX: SIGTERM and SIGINT. No asynchronous signal handler is installed: the signals are
//   blocked in every thread and taken synchronously by a watcher thread, so nothing runs in signal
//   context.
// - Windows: Ctrl+C, Ctrl+Break, closing the console and the system's shutdown (console control
//   events), and the named event "Local\KelvraLogServerStop-<process id>" that SendStopRequest
//   sets, for a process without a console of its own (started by a script, a test, under Wine).
//
// The statistics request of a plain process asks the server to write its counts to the
// diagnostic log and go on: SIGUSR1 on POSIX, the named event
// "Local\KelvraLogServerStatistics-<process id>" on Windows (SendStatisticsRequest).

// Blocks the stop signals and the statistics signal in the calling thread; every thread it starts
// later inherits the block. Call first thing in main, before any thread exists, so that no thread
// can be ended by a signal's default action. Does nothing on Windows. Main thread only.
void BlockStopSignals();

// Asks the process with this id to stop as a stop signal would: SIGTERM on POSIX, the process's
// stop event on Windows. 0 or the platform's error code (ESRCH; ERROR_FILE_NOT_FOUND when the
// process watches for no stop request). Any thread.
int SendStopRequest(int processId);

// Asks the process with this id to write its statistics: SIGUSR1 on POSIX, the process's
// statistics event on Windows. 0 or the platform's error code as for SendStopRequest. Any thread.
int SendStatisticsRequest(int processId);

// Takes the stop signals on a thread of its own and calls OnStop once for each signal (stop
// requests that come while OnStop runs may be taken as one), on that thread; the same for the
// statistics requests and OnStatistics, when given (without it they are taken and ignored). The
// callbacks must only record the request and wake whoever waits for it. On POSIX it needs
// BlockStopSignals first; without it a signal keeps its default action.
class TStopSignalWatcher {
 public:
  // Starts watching at once. Any thread.
  explicit TStopSignalWatcher(std::function<void()> OnStop,
                              std::function<void()> OnStatistics = {});
  // Ends the watcher thread and waits for it; not from OnStop.
  ~TStopSignalWatcher();
  TStopSignalWatcher(const TStopSignalWatcher&) = delete;
  TStopSignalWatcher& operator=(const TStopSignalWatcher&) = delete;

 private:
  class TImpl;
  std::unique_ptr<TImpl> FImpl;
};

#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/uPipe.h"

// A program started as a child process, for the end-to-end tests and the load tool, which start
// the real server and stop it the way an administrator does.
class TChildProcess {
 public:
  struct TOptions {
    std::string Program;  // full path
    std::vector<std::string> Arguments;
    std::string WorkingDirectory;  // empty: the caller's
    // Added to (or replacing in) the caller's environment.
    std::vector<std::pair<std::string, std::string>> Environment;
    // Standard output and standard error go to this file (created or truncated); empty: the
    // caller's.
    std::string OutputPath;
    // Standard input comes from this file; empty: the caller's. Initialised here, so the
    // callers that list the fields before it need not name it.
    std::string InputPath = {};
    // Standard input and output become pipes to the caller (StandardInput, StandardOutput);
    // standard error stays the caller's, and InputPath and OutputPath are not used. On Windows
    // the child then gets no console window of its own.
    bool PipeStandardStreams = false;
  };

  // Starts the program; throws std::system_error when it cannot be started. The child starts
  // with no signal blocked and every signal at its default action.
  explicit TChildProcess(const TOptions& options);
  // Kills a child that is still running and reaps it.
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // The process id.
  int Id() const { return FId; }

  // With PipeStandardStreams: the writing end of the child's standard input and the reading end
  // of its standard output; closed ends otherwise. The owner may move them out.
  TPipeEnd& StandardInput() { return FInput; }
  TPipeEnd& StandardOutput() { return FOutput; }

  // Asks the child to stop (SIGTERM on POSIX; on Windows the stop request of SendStopRequest,
  // else Ctrl+Break to the child's process group).
  void RequestStop();
  // The interactive interrupt (SIGINT on POSIX; Ctrl+C on Windows, else the stop request).
  void Interrupt();
  // Ends the child at once (SIGKILL on POSIX, TerminateProcess on Windows).
  void Kill();

  // Waits at most timeoutMs for the child to end. True once it has ended.
  bool WaitFor(std::uint32_t timeoutMs);
  bool Running();

  // After the child has ended: its exit code, or -1 when a signal ended it (see TermSignal).
  int ExitCode() const { return FExitCode; }
  // After the child has ended: the signal that ended it, or 0 (always 0 on Windows).
  int TermSignal() const { return FTermSignal; }

 private:
  bool Reap(bool wait);

  int FId = -1;
  std::intptr_t FHandle = 0;  // the process handle on Windows, unused elsewhere
  bool FEnded = false;
  int FExitCode = -1;
  int FTermSignal = 0;
  TPipeEnd FInput;
  TPipeEnd FOutput;
};

// The peak resident memory of a process in bytes (VmHWM on Linux, the peak working set on
// Windows), 0 when it cannot be read.
std::uint64_t ProcessPeakMemory(int processId);

// The processor time a process has used so far, user and system, all its threads, in seconds;
// a negative value when it cannot be read.
double ProcessCpuSeconds(int processId);

// Whether a process of this id runs (one that has ended but is not yet reaped counts as ended).
// For tests that watch a process they did not start themselves.
bool ProcessRunning(int processId);

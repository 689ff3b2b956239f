#include "platform/uStopSignals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/TThread.h"
#include "platform/uSocket.h"

namespace {

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGUSR1);
  return set;
}

int SendSignal(int processId, int signal) {
  if (processId <= 0) {
    return ESRCH;  // never a process group or every process
  }
  return kill(static_cast<pid_t>(processId), signal) == 0 ? 0 : errno;
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSignalSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int SendStopRequest(int processId) {
  return SendSignal(processId, SIGTERM);
}

int SendStatisticsRequest(int processId) {
  return SendSignal(processId, SIGUSR1);
}

// The watcher thread: polls a signalfd for the stop and statistics signals together with FQuit,
// which the owner sets to end it.
class TStopSignalWatcher::TImpl : public TThread {
 public:
  TImpl(std::function<void()> OnStop, std::function<void()> OnStatistics)
      : FOnStop(std::move(OnStop)), FOnStatistics(std::move(OnStatistics)) {
    const sigset_t set = StopSignalSet();
    FSignalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    Start();
  }

  ~TImpl() override {
    Terminate();
    FQuit.Set();
    WaitFor();
    if (FSignalFd >= 0) {
      close(FSignalFd);
    }
  }

 protected:
  void Execute() override {
    if (FSignalFd < 0) {
      return;
    }
    while (!Terminated()) {
      pollfd fds[2] = {{FSignalFd, POLLIN, 0}, {static_cast<int>(FQuit.NativeHandle()), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        return;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        return;
      }
      signalfd_siginfo info{};
      while (read(FSignalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const std::function<void()>& handler = info.ssi_signo == SIGUSR1 ? FOnStatistics : FOnStop;
        if (handler) {
          handler();
        }
      }
    }
  }

 private:
  const std::function<void()> FOnStop;
  const std::function<void()> FOnStatistics;
  int FSignalFd = -1;
  TSocketSignal FQuit;  // set by the owner to end the thread
};

TStopSignalWatcher::TStopSignalWatcher(std::function<void()> OnStop,
                                       std::function<void()> OnStatistics)
    : FImpl(std::make_unique<TImpl>(std::move(OnStop), std::move(OnStatistics))) {}

TStopSignalWatcher::~TStopSignalWatcher() = default;

#include "platform/uPipe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

int Fd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

// Writing to a pipe without reader raises SIGPIPE, whose default action ends the process: the
// signal is blocked for the calling thread during the write, and a pending one taken back.
class TSigPipeBlock {
 public:
  TSigPipeBlock() {
    sigemptyset(&FPipe);
    sigaddset(&FPipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    FWasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &FPipe, &FOld);
  }
  ~TSigPipeBlock() {
    if (FRaised && !FWasPending) {
      const timespec zero{0, 0};
      while (sigtimedwait(&FPipe, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
  }
  void Raised() { FRaised = true; }

 private:
  sigset_t FPipe;
  sigset_t FOld;
  bool FWasPending = false;
  bool FRaised = false;
};

}  // namespace

TPipeEnd& TPipeEnd::operator=(TPipeEnd&& other) noexcept {
  if (this != &other) {
    Close();
    FHandle = other.Release();
  }
  return *this;
}

void TPipeEnd::Close() noexcept {
  if (FHandle != Closed) {
    ::close(Fd(FHandle));
    FHandle = Closed;
  }
}

std::intptr_t TPipeEnd::Release() noexcept {
  const std::intptr_t handle = FHandle;
  FHandle = Closed;
  return handle;
}

bool TPipeEnd::WriteAll(const void* data, std::size_t size) {
  if (!IsOpen()) {
    return false;
  }
  TSigPipeBlock block;
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(Fd(FHandle), next, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EPIPE) {
        block.Raised();
      }
      return false;
    }
    next += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

TPipeEnd::TReadResult TPipeEnd::Read(void* data, std::size_t size, std::size_t& got,
                                     std::uint32_t timeoutMs) {
  got = 0;
  if (!IsOpen()) {
    return TReadResult::Ended;
  }
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs != Infinite) {
      const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd poller{Fd(FHandle), POLLIN, 0};
    const int ready = ::poll(&poller, 1, wait);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0) {
      return TReadResult::Ended;
    }
    if (ready == 0) {
      return TReadResult::Timeout;
    }
    const ssize_t count = ::read(Fd(FHandle), data, size);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (count <= 0) {
      return TReadResult::Ended;
    }
    got = static_cast<std::size_t>(count);
    return TReadResult::Data;
  }
}

bool CreatePipe(TPipeEnd& readEnd, TPipeEnd& writeEnd, std::string& error) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error = std::strerror(errno);
    return false;
  }
  readEnd = TPipeEnd(fds[0]);
  writeEnd = TPipeEnd(fds[1]);
  return true;
}

bool TakeStandardStreams(TPipeEnd& input, TPipeEnd& output) {
  const int in = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  const int out = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (in < 0 || out < 0 || nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0 ||
      ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    for (const int fd : {in, out, nothing}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
    return false;
  }
  ::close(nothing);
  input = TPipeEnd(in);
  output = TPipeEnd(out);
  return true;
}

#include "platform/uProcess.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

const char PathDelimiter = '/';

std::string ExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      return {};
    }
    if (static_cast<size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(length));
    }
    buffer.resize(buffer.size() * 2);
  }
}

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

void LimitHeapArenas() {
#ifdef M_ARENA_MAX
  constexpr int Arenas = 2;
  mallopt(M_ARENA_MAX, Arenas);
#endif
}

std::size_t OpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return 1024;  // the usual default, should the question fail
  }
  if (limit.rlim_cur == RLIM_INFINITY) {
    return 0;
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

void ReportFatalError(const std::string& text) {
  std::fprintf(stderr, "Application Error: %s\n", text.c_str());
  std::fflush(stderr);
}

void EndProcessOnUnhandledFault() {}

#include "platform/uPipe.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::string LastErrorText() {
  return "error " + std::to_string(GetLastError());
}

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
    CloseHandle(AsHandle(FHandle));
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
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(AsHandle(FHandle), next, chunk, &written, nullptr)) {
      return false;
    }
    next += written;
    size -= written;
  }
  return true;
}

// Anonymous pipes have no overlapped mode: the wait looks at the pipe, first yielding, then in
// millisecond steps, so that an answer that comes at once is taken at once.
TPipeEnd::TReadResult TPipeEnd::Read(void* data, std::size_t size, std::size_t& got,
                                     std::uint32_t timeoutMs) {
  got = 0;
  if (!IsOpen()) {
    return TReadResult::Ended;
  }
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
  for (unsigned round = 0;; ++round) {
    DWORD available = 0;
    if (!PeekNamedPipe(AsHandle(FHandle), nullptr, 0, nullptr, &available, nullptr)) {
      return TReadResult::Ended;
    }
    if (available > 0) {
      const DWORD chunk = size < available ? static_cast<DWORD>(size) : available;
      DWORD count = 0;
      if (!ReadFile(AsHandle(FHandle), data, chunk, &count, nullptr) || count == 0) {
        return TReadResult::Ended;
      }
      got = count;
      return TReadResult::Data;
    }
    if (timeoutMs != Infinite && steady_clock::now() >= deadline) {
      return TReadResult::Timeout;
    }
    Sleep(round < 50 ? 0 : 1);
  }
}

bool CreatePipe(TPipeEnd& readEnd, TPipeEnd& writeEnd, std::string& error) {
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  if (!::CreatePipe(&reader, &writer, nullptr, 1 << 16)) {
    error = LastErrorText();
    return false;
  }
  readEnd = TPipeEnd(reinterpret_cast<std::intptr_t>(reader));
  writeEnd = TPipeEnd(reinterpret_cast<std::intptr_t>(writer));
  return true;
}

bool TakeStandardStreams(TPipeEnd& input, TPipeEnd& output) {
  const HANDLE process = GetCurrentProcess();
  HANDLE in = nullptr;
  HANDLE out = nullptr;
  // Copies, since the runtime's descriptors 0 and 1 close their handles when they are rebound.
  if (!DuplicateHandle(process, GetStdHandle(STD_INPUT_HANDLE), process, &in, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  if (!DuplicateHandle(process, GetStdHandle(STD_OUTPUT_HANDLE), process, &out, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    CloseHandle(in);
    return false;
  }
  input = TPipeEnd(reinterpret_cast<std::intptr_t>(in));
  output = TPipeEnd(reinterpret_cast<std::intptr_t>(out));
  std::fflush(stdout);
  const int nothing = _open("NUL", _O_RDONLY);
  if (nothing >= 0) {
    _dup2(nothing, 0);
    _close(nothing);
  }
  _dup2(2, 1);
  SetStdHandle(STD_INPUT_HANDLE, INVALID_HANDLE_VALUE);
  SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
  return true;
}

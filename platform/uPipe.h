#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One end of an anonymous pipe (a descriptor on POSIX, a handle on Windows), closed by its owner.
// The plug-in host and the server talk through two of them. One thread uses an end at a time;
// only Close() may come from another thread, to unblock the user.
class TPipeEnd {
 public:
  static constexpr std::uint32_t Infinite = UINT32_MAX;

  enum class TReadResult { Data, Timeout, Ended };

  TPipeEnd() = default;
  explicit TPipeEnd(std::intptr_t handle) : FHandle(handle) {}
  TPipeEnd(TPipeEnd&& other) noexcept : FHandle(other.Release()) {}
  TPipeEnd& operator=(TPipeEnd&& other) noexcept;
  TPipeEnd(const TPipeEnd&) = delete;
  TPipeEnd& operator=(const TPipeEnd&) = delete;
  ~TPipeEnd() { Close(); }

  bool IsOpen() const { return FHandle != Closed; }
  void Close() noexcept;
  // Gives up the end without closing it.
  std::intptr_t Release() noexcept;
  std::intptr_t Handle() const { return FHandle; }

  // Writes all size bytes, blocking while the pipe is full. False when the reading end has been
  // closed (never a SIGPIPE) or on any other error.
  bool WriteAll(const void* data, std::size_t size);
  // Reads what is there, up to size bytes, waiting at most timeoutMs (Infinite: no limit) for the
  // first byte. Data: got > 0 bytes read; Timeout: nothing came; Ended: the writing end is closed
  // (or an error).
  TReadResult Read(void* data, std::size_t size, std::size_t& got, std::uint32_t timeoutMs);

 private:
  static constexpr std::intptr_t Closed = -1;
  std::intptr_t FHandle = Closed;
};

// A new pipe; neither end is inherited by child processes. False, with the platform's reason in
// error, when it cannot be made.
bool CreatePipe(TPipeEnd& readEnd, TPipeEnd& writeEnd, std::string& error);

// For a child whose standard input and output are its channel to the parent (the plug-in host):
// takes both as pipe ends, then points standard input at nothing and standard output at standard
// error, so that what loaded code reads or prints cannot disturb the channel. Start-up only.
bool TakeStandardStreams(TPipeEnd& input, TPipeEnd& output);

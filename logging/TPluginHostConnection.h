#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "logging/uPluginHostProtocol.h"
#include "platform/uChildProcess.h"
#include "platform/uPipe.h"

// One running plug-in host: the child process and the two pipes of its channel. The producer's
// thread uses it; Kill() may also come from the owner's thread, to end a host that hangs.
class TPluginHostConnection {
 public:
  enum class TWait { Frame, Timeout, Ended };

  // Starts program with these arguments (the library path last); null, with the reason in error,
  // when it cannot be started.
  static std::unique_ptr<TPluginHostConnection> Start(const std::string& program,
                                                      std::vector<std::string> arguments,
                                                      std::string& error);

  bool Send(const std::string& frame) { return FInput.WriteAll(frame.data(), frame.size()); }
  // The next frame from the host, waiting at most timeoutMs; body is valid until the next call.
  // Ended once the host has closed its output or ended.
  TWait Receive(TPluginHostFrameKind& kind, std::string_view& body, std::uint32_t timeoutMs);
  bool Running();
  // The host's process id, for the diagnostic log.
  int ProcessId() const { return FChild.Id(); }
  // Ends the host at once. Any thread.
  void Kill();
  // Waits at most timeoutMs for the host's end. True once it has ended.
  bool WaitForEnd(std::uint32_t timeoutMs);
  // After the end: "exit code 3", "signal 11", or "still running".
  std::string EndDescription();

 private:
  explicit TPluginHostConnection(const TChildProcess::TOptions& options);

  std::mutex FProcessLock;  // guards FChild (Kill from the owner's thread, reaping here)
  TChildProcess FChild;
  TPipeEnd FInput;
  TPipeEnd FOutput;
  TPluginHostFrameBuffer FFrames;
};

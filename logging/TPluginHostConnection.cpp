#include "logging/TPluginHostConnection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

namespace {

// Slices of a wait, after each of which the host's process is looked at: on Windows another
// child may have inherited a pipe end, so the process, not the pipe, tells of the end.
constexpr std::uint32_t SliceMs = 50;

}  // namespace

TPluginHostConnection::TPluginHostConnection(const TChildProcess::TOptions& options)
    : FChild(options),
      FInput(std::move(FChild.StandardInput())),
      FOutput(std::move(FChild.StandardOutput())) {}

std::unique_ptr<TPluginHostConnection> TPluginHostConnection::Start(
    const std::string& program, std::vector<std::string> arguments, std::string& error) {
  TChildProcess::TOptions options;
  options.Program = program;
  options.Arguments = std::move(arguments);
  options.PipeStandardStreams = true;
  try {
    return std::unique_ptr<TPluginHostConnection>(new TPluginHostConnection(options));
  } catch (const std::exception& failure) {
    error = failure.what();
    return nullptr;
  }
}

TPluginHostConnection::TWait TPluginHostConnection::Receive(TPluginHostFrameKind& kind,
                                                            std::string_view& body,
                                                            std::uint32_t timeoutMs) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
  char chunk[4096];
  for (;;) {
    if (FFrames.Next(kind, body)) {
      return TWait::Frame;
    }
    if (FFrames.Broken()) {
      return TWait::Ended;
    }
    const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    const auto slice = static_cast<std::uint32_t>(std::clamp<long long>(left, 0, SliceMs));
    std::size_t got = 0;
    switch (FOutput.Read(chunk, sizeof chunk, got, slice)) {
      case TPipeEnd::TReadResult::Data:
        FFrames.Append(chunk, got);
        continue;
      case TPipeEnd::TReadResult::Ended:
        return TWait::Ended;
      case TPipeEnd::TReadResult::Timeout:
        break;
    }
    if (!Running()) {
      // What it wrote before its end is still taken.
      if (FOutput.Read(chunk, sizeof chunk, got, 0) == TPipeEnd::TReadResult::Data) {
        FFrames.Append(chunk, got);
        continue;
      }
      return TWait::Ended;
    }
    if (left <= 0) {
      return TWait::Timeout;
    }
  }
}

bool TPluginHostConnection::Running() {
  std::lock_guard lock(FProcessLock);
  return FChild.Running();
}

void TPluginHostConnection::Kill() {
  std::lock_guard lock(FProcessLock);
  FChild.Kill();
}

bool TPluginHostConnection::WaitForEnd(std::uint32_t timeoutMs) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
  while (Running()) {
    if (steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

std::string TPluginHostConnection::EndDescription() {
  std::lock_guard lock(FProcessLock);
  if (FChild.Running()) {
    return "still running";
  }
  if (FChild.TermSignal() != 0) {
    return "signal " + std::to_string(FChild.TermSignal());
  }
  const auto code = static_cast<std::uint32_t>(FChild.ExitCode());
  if (code >= 0x80000000u) {
    // Windows exception codes read best in hexadecimal (0xC0000005: access violation).
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return std::string("exit code ") + text;
  }
  return "exit code " + std::to_string(FChild.ExitCode());
}

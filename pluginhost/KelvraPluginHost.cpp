// KelvraPluginHost: runs one plug-in library outside the server, so that a plug-in that crashes
// ends this process only. The server starts it with the library's path as its one argument and
// talks to it over standard input and output (see logging/uPluginHostProtocol.h); everything the
// plug-in prints goes to standard error.
//
// The exports are called as the server calls them in its own process: LogProvider_Initialize
// once, LogProvider_AddMessage once per message in order, LogProvider_Finalize at the end, all on
// this program's main thread, one call at a time. A second thread only reads the channel, so that
// the end of the server is seen even while the plug-in is inside a call.
//
// A server that goes away without asking for Finalize (killed, crashed) closes the channel: the
// host then delivers the messages it has already received whole, calls LogProvider_Finalize and
// ends. It never outlives the server by more than the orphan time (KELVRA_PLUGIN_HOST_ORPHAN_MS,
// default 10000 ms): a plug-in that has not finished by then is cut off.
//
// Exit codes: 0 after Finalize, or when the server went away; 2 for a bad command line or
// channel; 3 for a frame it cannot read; 4 when the server went away and the plug-in did not
// finish within the orphan time.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "logging/uLogServerInterface.h"
#include "logging/uPluginHostProtocol.h"
#include "platform/uDynamicLibrary.h"
#include "platform/uEnvironment.h"
#include "platform/uPipe.h"
#include "platform/uProcess.h"

namespace {

constexpr int ExitChannel = 2;
constexpr int ExitProtocol = 3;
constexpr int ExitOrphaned = 4;
constexpr std::uint32_t DefaultOrphanMs = 10'000;

std::uint32_t OrphanTimeMs() {
  const std::string text = EnvironmentValue("KELVRA_PLUGIN_HOST_ORPHAN_MS");
  if (text.empty()) {
    return DefaultOrphanMs;
  }
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  return end != nullptr && *end == '\0' && value <= UINT32_MAX ? static_cast<std::uint32_t>(value)
                                                               : DefaultOrphanMs;
}

// One whole frame as read, owning its body.
struct TInputFrame {
  TPluginHostFrameKind Kind{};
  std::string Body;
  bool Broken = false;  // the stream cannot be read on
};

// What the reading thread hands to the main thread. Shared: the reading thread is detached (it
// may be blocked in a read when the program ends) and holds it to its end.
struct TInputState {
  std::mutex Lock;  // guards Frames, Ended and Finished
  std::condition_variable Changed;
  std::deque<TInputFrame> Frames;
  bool Ended = false;     // the server closed the channel
  bool Finished = false;  // the main thread is done with the plug-in
};

// Reads the channel into whole frames until it closes; then gives the main thread the orphan
// time to finish and ends the process if it has not.
void ReadInput(TPipeEnd input, std::shared_ptr<TInputState> state, std::uint32_t orphanMs) {
  TPluginHostFrameBuffer buffer;
  std::string chunk(1 << 16, '\0');
  bool broken = false;
  while (!broken) {
    std::size_t got = 0;
    if (input.Read(chunk.data(), chunk.size(), got, TPipeEnd::Infinite) !=
        TPipeEnd::TReadResult::Data) {
      break;
    }
    buffer.Append(chunk.data(), got);
    std::lock_guard lock(state->Lock);
    TPluginHostFrameKind kind{};
    std::string_view body;
    while (buffer.Next(kind, body)) {
      state->Frames.push_back({kind, std::string(body), false});
    }
    if (buffer.Broken()) {
      state->Frames.push_back({{}, {}, true});
      broken = true;
    }
    state->Changed.notify_one();
  }
  std::unique_lock lock(state->Lock);
  state->Ended = true;
  state->Changed.notify_one();
  if (broken) {
    return;
  }
  if (!state->Changed.wait_for(lock, std::chrono::milliseconds(orphanMs),
                               [&state] { return state->Finished; })) {
    std::fprintf(stderr,
                 "KelvraPluginHost: the server is gone and the plug-in did not finish within %u "
                 "ms\n",
                 static_cast<unsigned>(orphanMs));
    std::fflush(stderr);
    std::_Exit(ExitOrphaned);
  }
}

class TPluginHost {
 public:
  TPluginHost(std::shared_ptr<TInputState> input, TPipeEnd output)
      : FInput(std::move(input)), FOutput(std::move(output)) {}

  int Run(const std::string& libraryPath) {
    std::string problem;
    if (FLibrary.Load(libraryPath)) {
      FInitialize = FLibrary.Function<TLogProviderInitialize>("LogProvider_Initialize");
      FAddMessage = FLibrary.Function<TLogProviderAddMessage>("LogProvider_AddMessage");
      FFinalize = FLibrary.Function<TLogProviderFinalize>("LogProvider_Finalize");
      if (FAddMessage == nullptr) {
        // Without a way to deliver, the library is never called, as in the server.
        problem = "no export LogProvider_AddMessage";
        FInitialize = nullptr;
        FFinalize = nullptr;
        FLibrary.Release();
      }
    } else {
      problem = FLibrary.LoadError();
    }
    FWriter.Begin(TPluginHostFrameKind::Loaded);
    FWriter.U8(FAddMessage != nullptr ? 1 : 0);
    FWriter.Text(problem);
    Send();
    const int code = Serve();
    {
      std::lock_guard lock(FInput->Lock);
      FInput->Finished = true;
    }
    FInput->Changed.notify_one();
    return code;
  }

 private:
  // A server that is gone reads nothing: its end shows on the input, which is read on.
  void Send() {
    const std::string& frame = FWriter.Finish();
    FOutput.WriteAll(frame.data(), frame.size());
  }

  int Serve() {
    for (;;) {
      TInputFrame frame;
      {
        std::unique_lock lock(FInput->Lock);
        FInput->Changed.wait(lock, [this] { return !FInput->Frames.empty() || FInput->Ended; });
        if (FInput->Frames.empty()) {
          break;
        }
        frame = std::move(FInput->Frames.front());
        FInput->Frames.pop_front();
      }
      if (frame.Broken) {
        return ExitProtocol;
      }
      if (const int code = Handle(frame.Kind, frame.Body); code >= 0) {
        return code;
      }
    }
    // The server is gone: everything it sent whole has been delivered; the plug-in ends as it
    // would at a stop.
    if (FInitialized) {
      Finalize();
    }
    return 0;
  }

  void Finalize() {
    if (FFinalize != nullptr) {
      try {
        FFinalize();
      } catch (...) {
      }
      FLibrary.Release();
    } else {
      FLibrary.Abandon();
    }
  }

  // -1 to go on, otherwise the exit code.
  int Handle(TPluginHostFrameKind kind, std::string_view body) {
    TPluginHostFrameReader reader(body);
    switch (kind) {
      case TPluginHostFrameKind::Initialize: {
        std::string texts[6];
        for (std::string& text : texts) {
          text = reader.Text();
        }
        if (reader.Failed()) {
          return ExitProtocol;
        }
        FInitialized = true;
        if (FInitialize != nullptr) {
          try {
            FInitialize(texts[0].c_str(), texts[1].c_str(), texts[2].c_str(), texts[3].c_str(),
                        texts[4].c_str(), texts[5].c_str());
          } catch (...) {
          }
        }
        return -1;
      }
      case TPluginHostFrameKind::Batch: {
        const std::uint32_t count = reader.U32();
        std::uint32_t handed = 0;
        TPluginHostItem item;
        for (std::uint32_t i = 0; i < count; ++i) {
          if (!reader.Item(item)) {
            return ExitProtocol;
          }
          Deliver(item);
          ++handed;
        }
        FWriter.Begin(TPluginHostFrameKind::Acknowledge);
        FWriter.U32(handed);
        Send();
        return -1;
      }
      case TPluginHostFrameKind::Finalize:
        Finalize();
        FWriter.Begin(TPluginHostFrameKind::Finalized);
        Send();
        return 0;
      default:
        return ExitProtocol;
    }
  }

  void Deliver(const TPluginHostItem& item) {
    if (FAddMessage == nullptr || item.Kind != TPluginHostItemKind::Message) {
      return;
    }
    // The text reaches the plug-in zero-terminated, cut at an inner zero byte as in the server.
    FText.assign(item.Text);
    try {
      FAddMessage(item.ClientTime, item.ServerTime, FText.c_str());
    } catch (...) {
    }
  }

  std::shared_ptr<TInputState> FInput;
  TPipeEnd FOutput;
  TPluginHostFrameWriter FWriter;
  TDynamicLibrary FLibrary;
  TLogProviderInitialize FInitialize = nullptr;
  TLogProviderAddMessage FAddMessage = nullptr;
  TLogProviderFinalize FFinalize = nullptr;
  bool FInitialized = false;
  std::string FText;
};

}  // namespace

int main(int argc, char** argv) {
  // A plug-in's fault ends this host at once, so that the server sees it and starts another.
  EndProcessOnUnhandledFault();
  if (argc != 2) {
    std::fprintf(stderr, "usage: KelvraPluginHost <plug-in library>\n");
    return ExitChannel;
  }
  TPipeEnd input;
  TPipeEnd output;
  if (!TakeStandardStreams(input, output)) {
    std::fprintf(stderr, "KelvraPluginHost: cannot take standard input and output\n");
    return ExitChannel;
  }
  auto state = std::make_shared<TInputState>();
  // Detached: after Finalize the server may keep the channel open until this process has ended.
  std::thread(ReadInput, std::move(input), state, OrphanTimeMs()).detach();
  TPluginHost host(state, std::move(output));
  return host.Run(argv[1]);
}

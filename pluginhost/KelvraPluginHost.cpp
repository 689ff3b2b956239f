// KelvraPluginHost: runs one plug-in library outside the server, so that a plug-in that crashes
// ends this process only. The server starts it with the library's path as its argument
// ("--forwarder" before it for a forwarder of section "Forward") and talks to it over standard
// input and output (see logging/uPluginHostProtocol.h); everything the plug-in prints goes to
// standard error.
//
// The exports are called as the server calls them in its own process: LogProvider_Initialize
// once, LogProvider_AddMessage (a forwarder: LogProvider_AddRecord) once per record in order,
// LogProvider_Finalize at the end, all on this program's main thread, one call at a time. A second
// thread reads the channel, so that the end of the server is seen even while the plug-in is inside
// a call, and answers the server's statistics requests with LogProvider_Statistics at once, as
// the server's main thread calls it in-process.
//
// A server that goes away without asking for Finalize (killed, crashed) closes the channel: a
// plug-in's host then delivers the messages it has already received whole, calls
// LogProvider_Finalize and ends. It never outlives the server by more than the orphan time
// (KELVRA_PLUGIN_HOST_ORPHAN_MS, default 10000 ms): a plug-in that has not finished by then is cut
// off. A forwarder's host ends at once instead, as the forwarder would have ended with the
// server's process: the server's journal still holds every record not acknowledged and delivers
// it again after its next start, whose new host must not share the forwarder's own spool with
// this one.
//
// Exit codes: 0 after Finalize, or when the server went away; 2 for a bad command line or
// channel; 3 for a frame it cannot read; 4 when the server went away and the plug-in did not
// finish within the orphan time.

#include <array>
#include <charconv>
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

// What the reading thread hands to the main thread, and what both use. Shared: the reading
// thread is detached (it may be blocked in a read when the program ends) and holds it to its end.
struct TInputState {
  explicit TInputState(TPipeEnd output, bool forwarder)
      : Output(std::move(output)), Forwarder(forwarder) {}

  // Writes one whole frame; both threads write.
  void Send(const std::string& frame) {
    std::lock_guard lock(OutputLock);
    // A server that is gone reads nothing: its end shows on the input, which is read on.
    Output.WriteAll(frame.data(), frame.size());
  }

  std::mutex Lock;  // guards Frames, Ended and Finished
  std::condition_variable Changed;
  std::deque<TInputFrame> Frames;
  bool Ended = false;     // the server closed the channel
  bool Finished = false;  // the main thread is done with the plug-in

  std::mutex OutputLock;  // guards Output
  TPipeEnd Output;

  // The library's LogProvider_Statistics while it is loaded; null before and after.
  std::mutex StatisticsLock;  // guards Statistics; held during a call of it
  TLogProviderStatisticsFunction Statistics = nullptr;

  const bool Forwarder;
};

// The library's counts now; Given false without LogProvider_Statistics.
TPluginHostCounts AskStatistics(TInputState& state) {
  TPluginHostCounts counts;
  std::lock_guard lock(state.StatisticsLock);
  if (state.Statistics != nullptr) {
    TLogProviderStatistics library{};
    try {
      state.Statistics(&library);
      counts = {true, library.sent, library.acknowledged, library.spooled, library.dropped};
    } catch (...) {
    }
  }
  return counts;
}

// Reads the channel into whole frames until it closes; then gives the main thread the orphan
// time to finish and ends the process if it has not.
void ReadInput(TPipeEnd input, std::shared_ptr<TInputState> state, std::uint32_t orphanMs) {
  TPluginHostFrameBuffer buffer;
  TPluginHostFrameWriter writer;
  std::string chunk(1 << 16, '\0');
  bool broken = false;
  bool finalizeAsked = false;
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
      if (kind == TPluginHostFrameKind::Statistics) {
        // Answered here: the main thread may be inside a call for long.
        writer.Begin(TPluginHostFrameKind::Counts);
        writer.Counts(AskStatistics(*state));
        state->Send(writer.Finish());
        continue;
      }
      finalizeAsked |= kind == TPluginHostFrameKind::Finalize;
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
  if (state->Forwarder && !finalizeAsked) {
    std::_Exit(0);
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
  explicit TPluginHost(std::shared_ptr<TInputState> input)
      : FInput(std::move(input)), FForwarder(FInput->Forwarder) {}

  int Run(const std::string& libraryPath) {
    std::string problem;
    TLogProviderStatisticsFunction statistics = nullptr;
    if (FLibrary.Load(libraryPath)) {
      FInitialize = FLibrary.Function<TLogProviderInitialize>("LogProvider_Initialize");
      FFinalize = FLibrary.Function<TLogProviderFinalize>("LogProvider_Finalize");
      if (FForwarder) {
        FAddRecord = FLibrary.Function<TLogProviderAddRecord>("LogProvider_AddRecord");
        statistics = FLibrary.Function<TLogProviderStatisticsFunction>("LogProvider_Statistics");
      } else {
        FAddMessage = FLibrary.Function<TLogProviderAddMessage>("LogProvider_AddMessage");
      }
      if (!Usable()) {
        // Without a way to deliver, the library is never called, as in the server.
        problem =
            FForwarder ? "no export LogProvider_AddRecord" : "no export LogProvider_AddMessage";
        FInitialize = nullptr;
        FFinalize = nullptr;
        statistics = nullptr;
        FLibrary.Release();
      }
    } else {
      problem = FLibrary.LoadError();
    }
    {
      std::lock_guard lock(FInput->StatisticsLock);
      FInput->Statistics = statistics;
    }
    FWriter.Begin(TPluginHostFrameKind::Loaded);
    FWriter.U8(Usable() ? 1 : 0);
    FWriter.Text(problem);
    FWriter.U8(statistics != nullptr ? 1 : 0);
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
  bool Usable() const { return FAddMessage != nullptr || FAddRecord != nullptr; }

  void Send() { FInput->Send(FWriter.Finish()); }

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

  // LogProvider_Finalize, then the counts the library keeps readable after it.
  TPluginHostCounts Finalize() {
    if (FFinalize != nullptr) {
      try {
        FFinalize();
      } catch (...) {
      }
    }
    const TPluginHostCounts counts = AskStatistics(*FInput);
    {
      std::lock_guard lock(FInput->StatisticsLock);
      FInput->Statistics = nullptr;
    }
    if (FFinalize != nullptr) {
      FLibrary.Release();
    } else {
      // Work of its own may still run without a Finalize to end it: it stays loaded.
      FLibrary.Abandon();
    }
    return counts;
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
      case TPluginHostFrameKind::Finalize: {
        const TPluginHostCounts counts = Finalize();
        FWriter.Begin(TPluginHostFrameKind::Finalized);
        FWriter.Counts(counts);
        Send();
        return 0;
      }
      default:
        return ExitProtocol;
    }
  }

  void Deliver(const TPluginHostItem& item) {
    if (FAddRecord != nullptr && item.Kind == TPluginHostItemKind::Record) {
      DeliverRecord(item);
      return;
    }
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

  void DeliverRecord(const TPluginHostItem& item) {
    unsigned port = 0;
    std::from_chars(item.PeerPort.data(), item.PeerPort.data() + item.PeerPort.size(), port);
    // Each text zero-terminated, cut at an inner zero byte, as the server hands them over.
    const std::array<std::string_view, 5> parts{item.PeerAddress, item.ApplicationName,
                                                item.ModuleName, item.FilePrefix, item.Text};
    for (std::size_t i = 0; i < FTexts.size(); ++i) {
      FTexts[i].assign(parts[i]);
    }
    try {
      FAddRecord(item.ClientTime, item.ServerTime, FTexts[0].c_str(),
                 static_cast<unsigned short>(port), FTexts[1].c_str(), FTexts[2].c_str(),
                 FTexts[3].c_str(), FTexts[4].c_str());
    } catch (...) {
    }
  }

  std::shared_ptr<TInputState> FInput;
  const bool FForwarder;
  TPluginHostFrameWriter FWriter;
  TDynamicLibrary FLibrary;
  TLogProviderInitialize FInitialize = nullptr;
  TLogProviderAddMessage FAddMessage = nullptr;
  TLogProviderAddRecord FAddRecord = nullptr;
  TLogProviderFinalize FFinalize = nullptr;
  bool FInitialized = false;
  std::string FText;
  std::array<std::string, 5> FTexts;  // a record's address, application, module, prefix, text
};

}  // namespace

int main(int argc, char** argv) {
  // A plug-in's fault ends this host at once, so that the server sees it and starts another.
  EndProcessOnUnhandledFault();
  const bool forwarder = argc == 3 && std::string_view(argv[1]) == "--forwarder";
  if (argc != 2 && !forwarder) {
    std::fprintf(stderr, "usage: KelvraPluginHost [--forwarder] <plug-in library>\n");
    return ExitChannel;
  }
  TPipeEnd input;
  TPipeEnd output;
  if (!TakeStandardStreams(input, output)) {
    std::fprintf(stderr, "KelvraPluginHost: cannot take standard input and output\n");
    return ExitChannel;
  }
  auto state = std::make_shared<TInputState>(std::move(output), forwarder);
  // Detached: after Finalize the server may keep the channel open until this process has ended.
  std::thread(ReadInput, std::move(input), state, OrphanTimeMs()).detach();
  TPluginHost host(state);
  return host.Run(argv[argc - 1]);
}

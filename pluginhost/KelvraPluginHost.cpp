// KelvraPluginHost: runs one plug-in library outside the server, so that a plug-in that crashes
// ends this process only. The server starts it with the library's path as its one argument and
// talks to it over standard input and output (see logging/uPluginHostProtocol.h); everything the
// plug-in prints goes to standard error.
//
// The exports are called as the server calls them in its own process: LogProvider_Initialize
// once, LogProvider_AddMessage once per message in order, LogProvider_Finalize at the end, all on
// this program's one thread, one call at a time.
//
// Exit codes: 0 after Finalize or when the server closed the channel; 2 for a bad command line or
// channel; 3 for a frame it cannot read.

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "logging/uLogServerInterface.h"
#include "logging/uPluginHostProtocol.h"
#include "platform/uDynamicLibrary.h"
#include "platform/uPipe.h"

namespace {

constexpr int ExitChannel = 2;
constexpr int ExitProtocol = 3;

class TPluginHost {
 public:
  TPluginHost(TPipeEnd input, TPipeEnd output)
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
    if (!Send()) {
      return 0;
    }
    return Serve();
  }

 private:
  bool Send() {
    const std::string& frame = FWriter.Finish();
    return FOutput.WriteAll(frame.data(), frame.size());
  }

  int Serve() {
    char chunk[1 << 16];
    for (;;) {
      TPluginHostFrameKind kind{};
      std::string_view body;
      while (FFrames.Next(kind, body)) {
        if (const int code = Handle(kind, body); code >= 0) {
          return code;
        }
      }
      if (FFrames.Broken()) {
        return ExitProtocol;
      }
      std::size_t got = 0;
      if (FInput.Read(chunk, sizeof chunk, got, TPipeEnd::Infinite) !=
          TPipeEnd::TReadResult::Data) {
        // The server is gone: nothing more will come, and nobody waits for Finalize.
        return 0;
      }
      FFrames.Append(chunk, got);
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
        return Send() ? -1 : 0;
      }
      case TPluginHostFrameKind::Finalize:
        if (FFinalize != nullptr) {
          try {
            FFinalize();
          } catch (...) {
          }
          FLibrary.Release();
        } else {
          FLibrary.Abandon();
        }
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

  TPipeEnd FInput;
  TPipeEnd FOutput;
  TPluginHostFrameBuffer FFrames;
  TPluginHostFrameWriter FWriter;
  TDynamicLibrary FLibrary;
  TLogProviderInitialize FInitialize = nullptr;
  TLogProviderAddMessage FAddMessage = nullptr;
  TLogProviderFinalize FFinalize = nullptr;
  std::string FText;
};

}  // namespace

int main(int argc, char** argv) {
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
  TPluginHost host(std::move(input), std::move(output));
  return host.Run(argv[1]);
}

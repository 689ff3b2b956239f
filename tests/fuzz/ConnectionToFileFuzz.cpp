// One TCP connection's bytes, end to end: the TPKT filter cuts them into packets (in pieces whose
// size comes from the input), each packet is queued as a received event and dispatched as the main
// loop does, into the producer holder and its file producers under a temporary log tree; then the
// disconnect releases the sender, and the whole input goes the same way once more as a syslog
// datagram. Whatever the record fields (separators, "..", control bytes, NUL), no file or folder
// may ever be made outside the tree: every path a producer is given is checked by its parts, and
// the tree's surroundings are walked after every input.

#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "logging/TFileLogProducer.h"
#include "logging/tLogProducerHolder.h"
#include "net/uReceiveFilter.h"
#include "server/uLogDispatch.h"
#include "server/uLogQueue.h"
#include "tests/fuzz/uFuzzSupport.h"

namespace {

constexpr const char* SenderAddress = "127.0.0.1";
constexpr std::size_t MaxDatagramSize = 8192;

// The server's clock in the holder: real now, fixed days, and values no clock gives.
constexpr std::size_t LocalNowChoice = 0;
constexpr std::array<double, 8> ServerTimes = {
    0,  // LocalNow(), see LocalNowChoice
    45358.587,
    0,
    -1.5,
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    1.0e10,
    -693594.0,
};
constexpr std::array<double, 4> ClockSteps = {0, 1.0 / 24, 0.3 / 24, 1};
constexpr std::array<std::size_t, 4> PieceSizes = {0, 1, 7, 300};  // 0: the whole stream at once

// The log tree lies two levels inside the run's directory, so that a path that climbs out of it
// by a level or two still lands in a place that is walked.
struct TLogTree {
  TFuzzDirectory Outer{"connection"};
  std::filesystem::path Root = Outer.Path() / "a" / "Logs";
  std::string BaseCatalog = Root.string() + "/";
  std::shared_ptr<const TFileLogMasks> Masks = std::make_shared<const TFileLogMasks>();

  TLogTree() { std::filesystem::create_directories(Root); }
};

// address/application/module/day/file.log below the base catalog: five parts, none of them a
// step up or a step in place, and nothing before the base catalog changed.
void CheckFilePath(const TLogTree& tree, const std::string& path) {
  FuzzCheck(path.starts_with(tree.BaseCatalog), "a log file lies under the base catalog");
  const std::filesystem::path below(path.substr(tree.BaseCatalog.size()));
  int parts = 0;
  for (const auto& part : below) {
    FuzzCheck(part != ".." && part != ".", "no part of a log file's path is . or ..");
    FuzzCheck(!part.has_root_directory(), "no part of a log file's path starts at the root");
    ++parts;
  }
  FuzzCheck(parts <= 5, "a log file lies at most five levels below the base catalog");
  const std::filesystem::path normal = (tree.Root / below).lexically_normal();
  FuzzCheck(!normal.lexically_relative(tree.Root).empty() &&
                *normal.lexically_relative(tree.Root).begin() != "..",
            "a log file's path stays in the tree");
}

// Everything in the run's directory must lie in the tree, and every file there be a log file.
void CheckTree(const TLogTree& tree) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tree.Outer.Path())) {
    const std::filesystem::path relative = entry.path().lexically_relative(tree.Root);
    const bool inTree = !relative.empty() && *relative.begin() != "..";
    const bool above = entry.path() == tree.Root.parent_path();
    FuzzCheck(inTree || above, "nothing is made outside the log tree");
    if (entry.is_regular_file()) {
      FuzzCheck(entry.path().extension() == ".log", "only log files are made");
    }
  }
}

// The main control's forwarding of dispatched events, with every record's file path checked
// before the holder opens it.
class TCheckedTarget final : public tLogEventTarget {
 public:
  TCheckedTarget(const TLogTree& tree, tLogProducerHolder& holder, double& serverTime)
      : FTree(tree), FHolder(holder), FServerTime(serverTime) {}

  void RouteRecord(std::string_view PeerAddress, std::string_view PeerPort,
                   std::string_view ApplicationName, std::string_view ModuleName,
                   std::string_view FilePrefix, std::string_view Text,
                   TDateTime ClientTime) override {
    const TFileLogProducer probe(FTree.BaseCatalog, std::string(PeerAddress), std::string(PeerPort),
                                 std::string(ApplicationName), std::string(ModuleName),
                                 std::string(FilePrefix), std::string(), FTree.Masks);
    CheckFilePath(FTree, probe.FileName(FServerTime));
    FHolder.RouteRecord(PeerAddress, PeerPort, ApplicationName, ModuleName, FilePrefix, Text,
                        ClientTime);
  }
  void ReleasePeer(std::string_view PeerAddress, std::string_view PeerPort) override {
    FHolder.ReleasePeer(PeerAddress, PeerPort);
  }
  void WriteLog(bool, const std::string&) override {}

 private:
  const TLogTree& FTree;
  tLogProducerHolder& FHolder;
  // The time the holder's clock gives next.
  const double& FServerTime;
};

void Dispatch(std::int32_t kind, std::uint16_t port, std::string_view bytes,
              const tLogDispatchSettings& settings, tLogEventTarget& target) {
  const auto element = tLogQueueElement::Make(kind, SenderAddress, port, bytes.data(),
                                              static_cast<std::uint32_t>(bytes.size()));
  DispatchLogElement(*element, settings, target);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One tree for the whole run (see TFuzzDirectory); emptied after every input.
  static const TLogTree tree;
  if (size < 3) {
    return 0;
  }
  const std::uint8_t options = data[0];
  const auto port = static_cast<std::uint16_t>(data[1] << 8 | data[2]);
  const std::string_view stream(reinterpret_cast<const char*>(data) + 3, size - 3);

  tLogDispatchSettings settings;
  settings.LogMode = 2;
  settings.ModuleNameAsFilePrefix = (options & 1) != 0;
  const std::size_t startChoice = options >> 1 & 7;
  const double step = ClockSteps[options >> 4 & 3];
  const std::size_t piece = PieceSizes[options >> 6 & 3];

  double serverTime = startChoice == LocalNowChoice ? LocalNow() : ServerTimes[startChoice];
  TLogProducerHolderOptions holderOptions;
  holderOptions.Masks = tree.Masks;
  // A small bound, so that the least recently used stream is released now and then.
  holderOptions.MaxFileProducers = 4;
  holderOptions.Clock = [&serverTime, step] {
    const double now = serverTime;
    serverTime += step;
    return now;
  };
  {
    tLogProducerHolder holder(tree.BaseCatalog, (tree.Outer.Path() / "none.conf").string(),
                              holderOptions);
    TCheckedTarget target(tree, holder, serverTime);
    tTPKTReceiveFilter filter;
    Dispatch(lkConnect, port, {}, settings, target);
    std::size_t pos = 0;
    do {
      const std::size_t count = piece == 0 ? stream.size() : std::min(piece, stream.size() - pos);
      bool more = false;
      std::string packet =
          filter.Decode(stream.data() + pos, static_cast<std::int32_t>(count), more);
      pos += count;
      for (;;) {
        if (!packet.empty()) {
          Dispatch(lkTcpData, port, packet, settings, target);
        }
        if (!more) {
          break;
        }
        packet = filter.Decode(nullptr, 0, more);
      }
    } while (pos < stream.size());
    Dispatch(lkDisconnect, port, {}, settings, target);
    Dispatch(lkSyslogData, port, stream.substr(0, MaxDatagramSize), settings, target);
  }
  CheckTree(tree);
  std::filesystem::remove_all(tree.Root);
  std::filesystem::create_directories(tree.Root);
  return 0;
}

// TPKT decoding as a connection thread does it: reads of up to 65533 bytes, each followed by the
// follow-up calls while More is set. Prints frames/s and bytes/s per payload size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "net/uReceiveFilter.h"

namespace {

constexpr std::size_t ReadSize = 65533;
constexpr std::size_t StreamBytes = 4 << 20;

std::string FrameStream(std::size_t payloadSize, std::size_t& frames) {
  const tTPKTReceiveFilter encoder;
  const std::string payload(payloadSize, 'r');
  const std::string frame = encoder.Encode(payload.data(), static_cast<std::int32_t>(payloadSize));
  std::string stream;
  frames = 0;
  while (stream.size() + frame.size() <= StreamBytes) {
    stream += frame;
    ++frames;
  }
  return stream;
}

void BM_TPKTDecode(benchmark::State& state) {
  std::size_t frames = 0;
  const std::string stream = FrameStream(static_cast<std::size_t>(state.range(0)), frames);
  tTPKTReceiveFilter filter;
  for (auto _ : state) {
    std::size_t packets = 0;
    for (std::size_t offset = 0; offset < stream.size(); offset += ReadSize) {
      const std::size_t length = std::min(ReadSize, stream.size() - offset);
      bool more = false;
      std::string packet =
          filter.Decode(stream.data() + offset, static_cast<std::int32_t>(length), more);
      packets += packet.empty() ? 0 : 1;
      while (more) {
        packet = filter.Decode(nullptr, 0, more);
        packets += packet.empty() ? 0 : 1;
      }
    }
    if (packets != frames) {
      state.SkipWithError("lost frames");
      break;
    }
    benchmark::DoNotOptimize(packets);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * frames));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_TPKTDecode)->Arg(16)->Arg(120)->Arg(1024)->Arg(16384)->Arg(65531);

void BM_TPKTEncode(benchmark::State& state) {
  const tTPKTReceiveFilter filter;
  const std::string payload(static_cast<std::size_t>(state.range(0)), 'r');
  for (auto _ : state) {
    std::string frame = filter.Encode(payload.data(), static_cast<std::int32_t>(payload.size()));
    benchmark::DoNotOptimize(frame);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TPKTEncode)->Arg(0)->Arg(120)->Arg(65531);

}  // namespace

BENCHMARK_MAIN();

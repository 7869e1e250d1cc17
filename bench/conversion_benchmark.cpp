// Converter throughput over one hour of audio, in the packet sizes that a
// shared-mode capture client delivers, reported as a realtime factor: seconds
// of audio converted per second of CPU time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/stereo_source.h"
#include "pcmtap/conversion.h"

namespace {

constexpr std::size_t kHourFrames = 3600 * kSourceRate;

void ConvertOneHour(benchmark::State& state) {
  const auto packetFrames = static_cast<std::uint32_t>(state.range(0));
  const std::vector<std::int16_t>& source = StereoSource();
  const std::size_t sourceFrames = source.size() / 2;
  std::vector<std::int16_t> chunk;
  for (auto _ : state) {
    pcmtap::StreamConverter converter(1024);
    std::uint64_t chunks = 0;
    for (std::size_t done = 0, at = 0; done < kHourFrames;
         done += packetFrames, at += packetFrames) {
      if (at + packetFrames > sourceFrames) at = 0;
      converter.AddPacket(source.data() + 2 * at, packetFrames, 0);
      while (converter.TakeChunk(chunk)) ++chunks;
    }
    benchmark::DoNotOptimize(chunks);
    benchmark::DoNotOptimize(chunk.data());
  }
  state.counters["realtime"] = benchmark::Counter(3600.0 * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(ConvertOneHour)->Arg(441)->Arg(448)->Arg(480)->Unit(benchmark::kMillisecond);

// One packet of a second of audio taken as 16000 one-sample chunks: the cost
// per chunk must not grow with what is left in the packet.
void OnePacketManyChunks(benchmark::State& state) {
  const std::vector<std::int16_t>& source = StereoSource();
  const auto chunkFrames = static_cast<std::uint64_t>(state.range(0));
  std::vector<std::int16_t> chunk;
  for (auto _ : state) {
    pcmtap::StreamConverter converter(chunkFrames);
    converter.AddPacket(source.data(), kSourceRate, 0);
    std::uint64_t chunks = 0;
    while (converter.TakeChunk(chunk)) ++chunks;
    benchmark::DoNotOptimize(chunks);
  }
  state.counters["audio_s_per_cpu_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(OnePacketManyChunks)->Arg(1)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();

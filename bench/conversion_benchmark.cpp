// Converter throughput over one hour of audio, in the packet sizes that a
// shared-mode capture client delivers, reported as a realtime factor: seconds
// of audio converted per second of CPU time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "pcmtap/conversion.h"

namespace {

constexpr std::size_t kRate = 44100;
constexpr std::size_t kHourFrames = 3600 * kRate;

// Ten seconds of a tone under noise, stereo; cycled as the source of every
// packet so that the input stays as warm in cache as a capture buffer is.
const std::vector<std::int16_t>& Source() {
  static const std::vector<std::int16_t> source = [] {
    std::vector<std::int16_t> s(2 * 10 * kRate);
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, 3000.0);
    for (std::size_t i = 0; i < s.size(); ++i) {
      const double tone =
          12000.0 * std::sin(2.0 * 3.14159265358979 * 440.0 * static_cast<double>(i / 2) / kRate);
      s[i] = static_cast<std::int16_t>(std::clamp(tone + noise(random), -32768.0, 32767.0));
    }
    return s;
  }();
  return source;
}

void ConvertOneHour(benchmark::State& state) {
  const auto packetFrames = static_cast<std::uint32_t>(state.range(0));
  const std::vector<std::int16_t>& source = Source();
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
  const std::vector<std::int16_t>& source = Source();
  const auto chunkFrames = static_cast<std::uint64_t>(state.range(0));
  std::vector<std::int16_t> chunk;
  for (auto _ : state) {
    pcmtap::StreamConverter converter(chunkFrames);
    converter.AddPacket(source.data(), kRate, 0);
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

// The band-limited converter next to the linear one, libsoxr HQ and
// speexdsp at quality 10, in one run: the same ten minutes of 44.1 kHz
// stereo 16-bit audio in 441-frame packets to 16 kHz mono 16-bit, reported
// as realtime factors (seconds of audio per second of CPU) and as ratios.
// soxr and speex get the band-limited converter's own downmix, (L + R) / 2
// in float, and give 16 bits rounded to nearest without dither, so that the
// figures compare the resamplers alone.
//
// On a busy machine run it with --benchmark_repetitions=5
// --benchmark_enable_random_interleaving=true: the ratios then come from the
// medians.
//
// With --quality it prints instead the measured figures of each, with the
// tests' measurement code: passband, worst alias, THD+N, latency.
#include <benchmark/benchmark.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/stereo_source.h"
#include "pcmtap/band_limited_converter.h"
#include "pcmtap/conversion.h"
#include "tests/pcmtap/tone_measure.h"

namespace {

constexpr double kSeconds = 600.0;
constexpr std::uint32_t kPacketFrames = 441;

std::int16_t Rounded(float fullScale) {
  const double scaled = std::clamp(static_cast<double>(fullScale) * 32768.0, -32768.0, 32767.0);
  return static_cast<std::int16_t>(pcmtap::RoundHalfAwayFromZero(scaled));
}

// Each converter appends the 16 kHz output of a packet of stereo frames;
// pcmtap's in chunks of chunkFrames.
class Linear {
 public:
  Linear(std::uint32_t /*rate, always 44.1 kHz*/, std::uint64_t chunkFrames) : converter_(chunkFrames) {}
  void Convert(const std::int16_t* stereo, std::uint32_t frames, std::vector<std::int16_t>& out) {
    converter_.AddPacket(stereo, frames, 0);
    while (converter_.TakeChunk(chunk_)) out.insert(out.end(), chunk_.begin(), chunk_.end());
  }

 private:
  pcmtap::StreamConverter converter_;
  std::vector<std::int16_t> chunk_;
};

class BandLimited {
 public:
  BandLimited(std::uint32_t rate, std::uint64_t chunkFrames)
      : converter_(chunkFrames, pcmtap::SampleFormat{rate, 2, pcmtap::SampleEncoding::Int16, 3}) {}
  void Convert(const std::int16_t* stereo, std::uint32_t frames, std::vector<std::int16_t>& out) {
    converter_.AddPacket(reinterpret_cast<const std::uint8_t*>(stereo), frames, 0);
    while (converter_.TakeChunk(chunk_)) out.insert(out.end(), chunk_.begin(), chunk_.end());
  }

 private:
  pcmtap::BandLimitedConverter converter_;
  std::vector<std::int16_t> chunk_;
};

// (L + R) / 2 at full scale `scale`, as the band-limited converter mixes.
void DownmixStereo(const std::int16_t* stereo, std::uint32_t frames, float scale, std::vector<float>& mono) {
  mono.resize(frames);
  for (std::uint32_t i = 0; i < frames; ++i) {
    mono[i] = (static_cast<float>(stereo[2 * i]) + static_cast<float>(stereo[2 * i + 1])) * (0.5f * scale);
  }
}

class Soxr {
 public:
  Soxr(std::uint32_t rate, std::uint64_t /*chunkFrames*/) : out16_(4 * kPacketFrames) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
    const soxr_io_spec_t undithered = {io.itype, io.otype, io.scale, nullptr, SOXR_NO_DITHER};
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_ = soxr_create(rate, 16000, 1, nullptr, &undithered, &quality, nullptr);
  }
  Soxr(const Soxr&) = delete;
  Soxr& operator=(const Soxr&) = delete;
  ~Soxr() { soxr_delete(soxr_); }
  void Convert(const std::int16_t* stereo, std::uint32_t frames, std::vector<std::int16_t>& out) {
    DownmixStereo(stereo, frames, 1.0f / 32768.0f, mono_);
    out16_.resize(frames + 64);
    std::size_t produced = 0;
    soxr_process(soxr_, mono_.data(), frames, nullptr, out16_.data(), out16_.size(), &produced);
    out.insert(out.end(), out16_.begin(), out16_.begin() + static_cast<std::ptrdiff_t>(produced));
  }

 private:
  soxr_t soxr_;
  std::vector<float> mono_;
  std::vector<std::int16_t> out16_;
};

class Speex {
 public:
  Speex(std::uint32_t rate, std::uint64_t /*chunkFrames*/) : speex_(speex_resampler_init(1, rate, 16000, 10, nullptr)) {}
  Speex(const Speex&) = delete;
  Speex& operator=(const Speex&) = delete;
  ~Speex() { speex_resampler_destroy(speex_); }
  void Convert(const std::int16_t* stereo, std::uint32_t frames, std::vector<std::int16_t>& out) {
    DownmixStereo(stereo, frames, 1.0f, mono_);
    resampled_.resize(frames + 64);
    spx_uint32_t taken = frames, produced = static_cast<spx_uint32_t>(resampled_.size());
    speex_resampler_process_float(speex_, 0, mono_.data(), &taken, resampled_.data(), &produced);
    for (spx_uint32_t i = 0; i < produced; ++i) out.push_back(Rounded(resampled_[i] / 32768.0f));
  }

 private:
  SpeexResamplerState* speex_;
  std::vector<float> mono_, resampled_;
};

template <typename Converter>
void ConvertTenMinutes(benchmark::State& state) {
  const std::vector<std::int16_t>& source = StereoSource();
  const std::size_t sourceFrames = source.size() / 2, totalFrames = static_cast<std::size_t>(kSeconds) * kSourceRate;
  std::vector<std::int16_t> out;
  for (auto _ : state) {
    Converter converter(kSourceRate, 1024);
    std::uint64_t outputs = 0;
    for (std::size_t done = 0, at = 0; done < totalFrames; done += kPacketFrames, at += kPacketFrames) {
      if (at + kPacketFrames > sourceFrames) at = 0;
      out.clear();
      converter.Convert(source.data() + 2 * at, kPacketFrames, out);
      outputs += out.size();
    }
    benchmark::DoNotOptimize(outputs);
  }
  state.counters["realtime"] =
      benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK_TEMPLATE(ConvertTenMinutes, Linear)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(ConvertTenMinutes, BandLimited)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(ConvertTenMinutes, Soxr)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(ConvertTenMinutes, Speex)->Unit(benchmark::kMillisecond);

// Prints the usual table, then each converter's realtime factor against
// soxr's and speex's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // With repetitions, the median of each; without, its one run.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const std::string name = run.benchmark_name();
      realtime_[name.substr(name.find('<') + 1, name.find('>') - name.find('<') - 1)] = run.counters.at("realtime");
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (realtime_.count("Soxr") == 0 || realtime_.count("Speex") == 0) return;
    std::printf("\n%-12s %12s %10s %10s\n", "converter", "x realtime", "/ soxr HQ", "/ speex10");
    for (const auto& [name, factor] : realtime_) {
      std::printf("%-12s %12.0f %10.2f %10.2f\n", name.c_str(), factor, factor / realtime_["Soxr"],
                  factor / realtime_["Speex"]);
    }
  }

 private:
  std::map<std::string, double> realtime_;
};

// One second of a -1 dBFS tone at `rate` through a fresh converter, in
// 441-frame packets.
template <typename Converter>
std::vector<std::int16_t> ConvertTone(double frequency, std::uint32_t rate) {
  const std::vector<std::int16_t> tone = pcmtap::DitheredStereoTone(frequency, rate, rate);
  Converter converter(rate, 1);
  std::vector<std::int16_t> out;
  for (std::size_t at = 0; at < rate; at += kPacketFrames) {
    converter.Convert(tone.data() + 2 * at, std::min<std::uint32_t>(kPacketFrames, rate - at), out);
  }
  return out;
}

// Input time (ms) from a full-scale click to the moment the output sample
// that shows it at its peak comes out, frame by frame.
template <typename Converter>
double LatencyMs(std::uint32_t rate) {
  Converter converter(rate, 1);
  std::vector<std::int16_t> out;
  const std::int16_t click[2] = {32767, 32767}, silence[2] = {0, 0};
  const std::uint32_t clickAt = rate / 10, frames = rate / 5;
  std::vector<std::size_t> arrivedBy(1, 0);  // output count after each input frame
  for (std::uint32_t i = 0; i < frames; ++i) {
    converter.Convert(i == clickAt ? click : silence, 1, out);
    arrivedBy.push_back(out.size());
  }
  const auto peak = static_cast<std::size_t>(std::max_element(out.begin(), out.end()) - out.begin());
  const auto frame = std::upper_bound(arrivedBy.begin(), arrivedBy.end(), peak) - arrivedBy.begin();
  return 1000.0 * static_cast<double>(frame - 1 - clickAt) / rate;
}

template <typename Converter>
void PrintQuality(const char* name, std::uint32_t rate) {
  double passband = 0.0, alias = -300.0;
  for (const double frequency : {20.0, 1000.0, 7000.0}) {
    const double level = pcmtap::FitSine(ConvertTone<Converter>(frequency, rate), 800, frequency).Dbfs();
    passband = std::max(passband, std::fabs(level + 1.0));
  }
  for (double frequency = 8400.0; frequency < rate / 2.0; frequency += 100.0) {
    const double aliasAt = std::fabs(frequency - 16000.0 * std::round(frequency / 16000.0));
    if (aliasAt < 20.0) continue;
    alias = std::max(alias, pcmtap::FitSine(ConvertTone<Converter>(frequency, rate), 800, aliasAt).Dbfs());
  }
  const double thdPlusNoise = pcmtap::FitSine(ConvertTone<Converter>(1000.0, rate), 800, 1000.0).ThdPlusNoiseDb();
  std::printf("%-12s %6u %14.4f %14.1f %11.1f %12.2f\n", name, rate, passband, alias, thdPlusNoise,
              LatencyMs<Converter>(rate));
}

void PrintQualityTable() {
  std::printf("%-12s %6s %14s %14s %11s %12s\n", "converter", "Hz", "passband dB", "alias dBFS", "THD+N dB",
              "latency ms");
  PrintQuality<Linear>("Linear", 44100);
  for (const std::uint32_t rate : {44100u, 48000u}) {
    PrintQuality<BandLimited>("BandLimited", rate);
    PrintQuality<Soxr>("Soxr HQ", rate);
    PrintQuality<Speex>("Speex q10", rate);
  }
  std::printf("passband: worst deviation at 20 Hz, 1 kHz, 7 kHz; alias: worst in-band alias of -1 dBFS tones\n"
              "from 8.4 kHz to Nyquist in 100 Hz steps; THD+N of 1 kHz; each from 1 s of dithered 16-bit stereo\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--quality") == 0) {
    PrintQualityTable();
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

#include "pcmtap/band_limited_resampler.h"

#include <cmath>

namespace pcmtap {

namespace {

constexpr double kDelaySeconds = BandLimitedResampler::kDelayHundredNanoseconds / 1e7;

// Halving pays while the half-band transition, from 7.6 kHz to half the rate
// less 7.6 kHz, is wide (6.8 kHz at 44 kHz): the filter stays short (59
// taps at 44.1 kHz, 0.66 ms of delay; 51 at 48 kHz). What the halvings leave
// of the delay makes the polyphase kernel: 5.7 ms at 44.1 kHz (133 dB),
// 6.0 ms at 48 kHz (139 dB), 7 ms at rates not halved; least, 5.2 ms
// (123 dB), after the three halvings of 176.4 kHz.
constexpr std::uint32_t kLowestRateToHalve = 44000;

std::vector<HalfBandDecimator> HalvingsFor(std::uint32_t rate) {
  std::vector<HalfBandDecimator> halvings;
  for (; rate % 2 == 0 && rate >= kLowestRateToHalve; rate /= 2) halvings.emplace_back(rate);
  return halvings;
}

PolyphaseResampler PolyphaseAfter(const std::vector<HalfBandDecimator>& halvings, std::uint32_t rate,
                                  std::uint32_t offset) {
  double delayLeft = kDelaySeconds;
  for (const HalfBandDecimator& halving : halvings) {
    delayLeft -= static_cast<double>(halving.Centre()) / rate;
    rate /= 2;
  }
  const std::uint32_t factor = 1U << halvings.size();
  return {rate, 2.0 * delayLeft, (offset + factor / 2) / factor};
}

}  // namespace

BandLimitedResampler::BandLimitedResampler(std::uint32_t inputRate, std::uint32_t offset)
    : inputRate_(inputRate),
      halvings_(HalvingsFor(inputRate)),
      polyphase_(PolyphaseAfter(halvings_, inputRate, offset)),
      pushedModFactor_(0) {}

void BandLimitedResampler::Push(const float* samples, std::size_t count, std::vector<float>& outputs) {
  const float* stream = samples;
  std::size_t length = count;
  for (std::size_t i = 0; i < halvings_.size(); ++i) {
    std::vector<float>& halved = halved_[i % 2];
    halved.clear();
    halvings_[i].Push(stream, length, halved);
    stream = halved.data();
    length = halved.size();
  }
  polyphase_.Push(stream, length, outputs);
  const std::uint32_t factor = 1U << halvings_.size();
  pushedModFactor_ = static_cast<std::uint32_t>((pushedModFactor_ + count) % factor);
}

void BandLimitedResampler::Flush(std::vector<float>& outputs) {
  Push(nullptr, static_cast<std::size_t>(std::ceil(2.0 * kDelaySeconds * inputRate_)) + (1U << halvings_.size()),
       outputs);
}

std::uint32_t BandLimitedResampler::NextOutputOffset() const {
  // A halved stream's sample k stands for input 2^h k: after n inputs the
  // halved ones reach (-n mod 2^h) input samples past the input's end.
  const std::uint32_t factor = 1U << halvings_.size();
  return factor * polyphase_.NextOutputOffset() + kOutputRate * ((factor - pushedModFactor_) % factor);
}

}  // namespace pcmtap

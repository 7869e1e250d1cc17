#include "pcmtap/half_band_decimator.h"

#include <algorithm>
#include <cmath>

#include "pcmtap/dot_product.h"
#include "pcmtap/kaiser.h"

namespace pcmtap {

namespace {

// Well below what the polyphase stage after it reaches, so that the pair
// attenuates as that stage alone does.
constexpr double kAttenuation = 135.0;
constexpr double kKeptBand = 7600.0;

}  // namespace

HalfBandDecimator::HalfBandDecimator(std::uint32_t inputRate)
    : window_(0), evenHeld_(0), oddHeld_(0), next_(0) {
  // A half-band filter passes up to a quarter of the rate less half its
  // transition and stops from a quarter plus half: kept band to half the
  // rate less the kept band. Its length is 4m + 3 taps, the centre odd.
  const double width = inputRate / 2.0 - 2.0 * kKeptBand;
  const double reach = KaiserSeconds(kAttenuation, width) * inputRate;
  const auto m = static_cast<std::size_t>(std::ceil((reach - 2.0) / 4.0));
  centre_ = 2 * m + 1;

  // Taps at even positions 0, 2, ..., 2 * centre_: odd distances from the
  // centre, where the sinc of half-sample steps is not zero. Normalised to
  // one half, the centre's share of unity gain at DC.
  const double beta = KaiserBeta(kAttenuation);
  const std::size_t count = centre_ + 1;
  std::vector<double> taps(count);
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double distance = static_cast<double>(2 * i) - static_cast<double>(centre_);
    taps[i] = std::sin(kPi * distance / 2.0) / (kPi * distance) *
              KaiserWindow(distance / static_cast<double>(centre_), beta);
    sum += taps[i];
  }
  window_ = (count + 3) / 4 * 4;
  taps_.assign(window_, 0.0f);
  for (std::size_t i = 0; i < count; ++i) taps_[window_ - 1 - i] = static_cast<float>(0.5 * taps[i] / sum);

  // Output 0's window lies wholly in the silence before input 0.
  evenHeld_ = oddHeld_ = next_ = window_ - 1;
  even_.assign(evenHeld_, 0.0f);
  odd_.assign(oddHeld_, 0.0f);
}

void HalfBandDecimator::Push(const float* samples, std::size_t count, std::vector<float>& outputs) {
  // Split by parity: the next sample is odd when an even one waits for its pair.
  const std::size_t oddFirst = evenHeld_ != oddHeld_ ? 1 : 0;
  const std::size_t evens = (count + 1 - oddFirst) / 2, odds = count - evens;
  even_.resize(std::max(even_.size(), evenHeld_ + evens));
  odd_.resize(std::max(odd_.size(), oddHeld_ + odds));
  float* const even = even_.data() + evenHeld_;
  float* const odd = odd_.data() + oddHeld_;
  if (samples == nullptr) {
    std::fill(even, even + evens, 0.0f);
    std::fill(odd, odd + odds, 0.0f);
  } else {
    for (std::size_t i = 0; i < evens; ++i) even[i] = samples[2 * i + oddFirst];
    for (std::size_t i = 0; i < odds; ++i) odd[i] = samples[2 * i + 1 - oddFirst];
  }
  evenHeld_ += evens;
  oddHeld_ += odds;

  // Output k: the even samples 2k back to 2k - 2 centre_, and the odd one at
  // the centre, 2k - centre_ = 2 (k - (centre_ + 1) / 2) + 1.
  const std::size_t ready = evenHeld_ - next_, first = outputs.size();
  outputs.resize(first + ready);
  float* const out = outputs.data() + first;
  RunFilter(taps_.data(), window_, even_.data() + next_ + 1 - window_, ready, out);
  const float* const centre = odd_.data() + next_ - (centre_ + 1) / 2;
  for (std::size_t i = 0; i < ready; ++i) out[i] += 0.5f * centre[i];
  next_ = evenHeld_;

  // Keep what the next window needs.
  const std::size_t consumed = next_ + 1 - window_;
  if (consumed == 0) return;  // std::copy may not write onto its own source
  std::copy(even_.data() + consumed, even_.data() + evenHeld_, even_.data());
  std::copy(odd_.data() + consumed, odd_.data() + oddHeld_, odd_.data());
  evenHeld_ -= consumed;
  oddHeld_ -= consumed;
  next_ -= consumed;
}

}  // namespace pcmtap

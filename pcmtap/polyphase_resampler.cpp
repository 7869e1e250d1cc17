#include "pcmtap/polyphase_resampler.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "pcmtap/dot_product.h"
#include "pcmtap/kaiser.h"

namespace pcmtap {

namespace {

// The kernel: a low-pass sinc under a Kaiser window.
//
// From 16 kHz up the band edges are fixed in hertz. 8.4 kHz is the lowest
// input frequency whose alias lands below 7.6 kHz (16 - 8.4), so the
// stopband starts there. The transition is as wide as a passband flat to
// 7 kHz allows: 1.53 kHz, from 6.87 kHz, where a Kaiser transition starts
// so gently that 7 kHz is down only 0.003 dB. The cutoff sits in its middle,
// at 7.63 kHz, and the length sets the attenuation by Kaiser's formula,
// A = 7.95 + 2 pi 2.285 width length: 133 dB at 5.7 ms, 16-bit output
// showing at best about -126 dBFS for a -1 dBFS tone.
//
// Below 16 kHz (upsampling) the edges scale with the input rate instead:
// pass 0.4375 rate, stop 0.525 rate, the cutoff midway; 7 ms then buys 78 dB
// at 8 kHz, 105 dB at 11.025 kHz.
constexpr double kStopbandStart = 8400.0;
constexpr double kTransitionWidth = 1533.0;

// Phases: one per step of the position (16000 / gcd(rate, 16000) of them:
// 320 at 22.05 kHz, 2 at 24 kHz, 640 at 11.025 kHz) up to this many; past it
// (rates that share few factors with 16000) a grid of this many, linearly
// interpolated, whose error, about (omega / 1024)^2 / 8, stays below -120 dB.
constexpr std::uint32_t kMaxPhases = 1024;

class KernelShape {
 public:
  KernelShape(std::uint32_t rate, double seconds) : rate_(rate), support_(rate * seconds) {
    const bool upsampling = rate < PolyphaseResampler::kOutputRate;
    const double width = upsampling ? 0.0875 * rate : kTransitionWidth;
    cutoff_ = upsampling ? 0.48125 * rate : kStopbandStart - width / 2.0;
    beta_ = KaiserBeta(KaiserAttenuation(width, seconds));
  }

  // Input samples the kernel spans: a tap for each whole one, and a part.
  std::size_t Reach() const { return static_cast<std::size_t>(std::ceil(support_)); }

  // The kernel at t input samples from its start.
  double At(double t) const {
    if (t < 0.0 || t >= support_) return 0.0;
    const double seconds = (t - support_ / 2.0) / rate_;
    const double lowPass = seconds == 0.0 ? 2.0 * cutoff_ : std::sin(2.0 * kPi * cutoff_ * seconds) / (kPi * seconds);
    return KaiserWindow(2.0 * t / support_ - 1.0, beta_) * lowPass;
  }

 private:
  double rate_;
  double support_;
  double cutoff_;
  double beta_;
};

}  // namespace

PolyphaseResampler::PolyphaseResampler(std::uint32_t inputRate, double kernelSeconds, std::uint32_t offset)
    : units_(kOutputRate / std::gcd(inputRate, kOutputRate)),
      unitSize_(kOutputRate / units_),
      stepWhole_(inputRate / kOutputRate),
      stepFraction_(inputRate / unitSize_ % units_),
      offsetWithinUnit_(offset % unitSize_),
      maxShift_(stepWhole_ + (stepFraction_ != 0 ? 1 : 0)),
      window_(0),
      rowStride_(0),
      interpolated_(units_ > kMaxPhases),
      held_(0),
      next_{0, 0},
      nextIsSecond_(false) {
  const KernelShape shape(inputRate, kernelSeconds);
  const std::size_t reach = shape.Reach();
  window_ = (reach + maxShift_ + kDotProductBlock - 1) / kDotProductBlock * kDotProductBlock;
  rowStride_ = window_ + maxShift_;

  // Each phase at its exact position, computed in double and normalised to
  // unity gain at DC, so that no phase carries a gain of its own.
  const std::uint32_t rows = interpolated_ ? kMaxPhases + 1 : units_;
  kernel_.assign(rows * rowStride_, 0.0f);
  std::vector<double> taps(reach);
  for (std::uint32_t r = 0; r < rows; ++r) {
    const double phase = interpolated_ ? static_cast<double>(r) / kMaxPhases
                                       : static_cast<double>(r * unitSize_ + offsetWithinUnit_) / kOutputRate;
    double sum = 0.0;
    for (std::size_t k = 0; k < reach; ++k) {
      taps[k] = shape.At(phase + static_cast<double>(k));
      sum += taps[k];
    }
    // Tap k weighs the sample k before the newest, which the window ends at.
    float* const newest = kernel_.data() + r * rowStride_ + window_ - 1;
    for (std::size_t k = 0; k < reach; ++k) *(newest - k) = static_cast<float>(taps[k] / sum);
  }

  // Output 0's window lies wholly in the silence before input 0.
  held_ = window_ - 1;
  history_.assign(held_ + maxShift_, 0.0f);
  const std::uint32_t offsetUnits = offset / unitSize_;
  next_ = {held_ + offsetUnits / units_, offsetUnits % units_};
}

void PolyphaseResampler::Push(const float* samples, std::size_t count, std::vector<float>& outputs) {
  history_.resize(std::max(history_.size(), held_ + count + maxShift_));
  float* const arrived = history_.data() + held_;
  if (samples != nullptr) {
    std::copy(samples, samples + count, arrived);
  } else {
    std::fill(arrived, arrived + count, 0.0f);
  }
  held_ += count;

  // A first output whose second has not arrived goes alone, over the same
  // window: past the input held, its row is zero (and the values there are
  // finite), so it comes out to the same bits as in a pair.
  while (next_.newest < held_) {
    if (nextIsSecond_) {
      outputs.push_back(OutputAt(next_, next_.newest));
      next_ = After(next_);
      nextIsSecond_ = false;
      continue;
    }
    const Position second = After(next_);
    if (second.newest < held_ && !interpolated_) {
      float sums[2];
      DotProductPair(Row(next_.fraction) + (second.newest - next_.newest), Row(second.fraction),
                     history_.data() + second.newest + 1 - window_, window_, sums);
      outputs.insert(outputs.end(), sums, sums + 2);
      next_ = After(second);
    } else {
      outputs.push_back(OutputAt(next_, second.newest));
      next_ = second;
      nextIsSecond_ = true;
    }
  }

  // Keep what the next window needs. A step is far shorter than a window,
  // so that window never starts past the input held.
  const std::size_t consumed = next_.newest + 1 - window_;
  if (consumed == 0) return;  // std::copy may not write onto its own source
  std::copy(history_.data() + consumed, history_.data() + held_, history_.data());
  held_ -= consumed;
  next_.newest -= consumed;
}

std::uint32_t PolyphaseResampler::NextOutputOffset() const {
  const auto units = static_cast<std::uint32_t>(next_.newest - held_) * units_ + next_.fraction;
  return units * unitSize_ + offsetWithinUnit_;
}

PolyphaseResampler::Position PolyphaseResampler::After(Position output) const {
  Position next{output.newest + stepWhole_, output.fraction + stepFraction_};
  if (next.fraction >= units_) {
    next.fraction -= units_;
    ++next.newest;
  }
  return next;
}

float PolyphaseResampler::OutputAt(Position output, std::size_t windowEnd) const {
  const float* const window = history_.data() + windowEnd + 1 - window_;
  const std::size_t shift = windowEnd - output.newest;
  if (!interpolated_) return DotProduct(Row(output.fraction) + shift, window, window_);

  const std::uint32_t onGrid = (output.fraction * unitSize_ + offsetWithinUnit_) * kMaxPhases;
  const std::uint32_t row = onGrid / kOutputRate, weight = onGrid % kOutputRate;
  const float before = DotProduct(Row(row) + shift, window, window_);
  if (weight == 0) return before;
  const float after = DotProduct(Row(row + 1) + shift, window, window_);
  return before + (after - before) * (static_cast<float>(weight) / kOutputRate);
}

}  // namespace pcmtap

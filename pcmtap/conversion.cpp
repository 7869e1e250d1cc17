// The output must be the same to the bit on every compiler and with every
// optimisation flag, so the arithmetic below may not be contracted into fused
// multiply-adds. The build forbids contraction too; the pragmas keep this file
// correct when it is compiled on its own or with other flags.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(_MSC_VER)
#pragma fp_contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include "pcmtap/conversion.h"

#include <algorithm>
#include <cfloat>
#include <limits>

// Wider intermediates (x87) would round differently from IEEE double.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "double arithmetic must be evaluated in double precision"
#endif
static_assert(std::numeric_limits<double>::is_iec559, "IEEE double precision required");

namespace pcmtap {

namespace {

constexpr std::uint32_t kSilentFlag = 0x2;

}  // namespace

StreamConverter::StreamConverter(std::uint64_t chunkFrames)
    : chunkFrames_(chunkFrames), step_(44100.0 / 16000.0), position_(0.0), outputTaken_(0) {}

void StreamConverter::AddPacket(const std::int16_t* samples, std::uint32_t frameCount,
                                std::uint32_t flags) {
  if (frameCount == 0) {
    return;
  }
  Downmix(samples, frameCount, (flags & kSilentFlag) != 0 || samples == nullptr);
  Resample();
  Trim();
}

void StreamConverter::Downmix(const std::int16_t* samples, std::uint32_t frameCount, bool silent) {
  const std::size_t held = inputSamples_.size();
  inputSamples_.resize(held + frameCount);
  std::int16_t* out = inputSamples_.data() + held;
  if (silent) {
    std::fill(out, out + frameCount, std::int16_t{0});
    return;
  }
  for (std::size_t i = 0; i < frameCount; ++i) {
    // Integer division truncates toward zero: (-3 + 0) / 2 is -1.
    const std::int32_t sum = std::int32_t{samples[2 * i]} + std::int32_t{samples[2 * i + 1]};
    out[i] = static_cast<std::int16_t>(sum / 2);
  }
}

void StreamConverter::Resample() {
  // Chunks taken since the last packet leave a prefix behind; dropping it here
  // bounds the array at one chunk plus one packet's output.
  if (outputTaken_ != 0) {
    outputSamples_.erase(outputSamples_.begin(),
                         outputSamples_.begin() + static_cast<std::ptrdiff_t>(outputTaken_));
    outputTaken_ = 0;
  }

  // Points are at least 2.75 input samples apart, so a pass over n samples
  // yields fewer than n / 2 + 2 of them; sizing once keeps the loop free of
  // capacity checks.
  const std::size_t held = inputSamples_.size();
  const std::size_t produced = outputSamples_.size();
  outputSamples_.resize(produced + held / 2 + 2);

  const std::int16_t* in = inputSamples_.data();
  std::int16_t* out = outputSamples_.data() + produced;
  const double n = static_cast<double>(held);
  const double step = step_;
  double position = position_;
  while (position + 1.0 < n) {
    // position is never negative, so truncation is floor.
    const std::int64_t i = static_cast<std::int64_t>(position);
    const double a = in[i];
    const double b = in[i + 1];
    const double difference = b - a;
    const double fraction = position - static_cast<double>(i);
    const double product = difference * fraction;
    *out++ = static_cast<std::int16_t>(RoundHalfAwayFromZero(product + a));
    position += step;
  }
  position_ = position;
  outputSamples_.resize(static_cast<std::size_t>(out - outputSamples_.data()));
}

void StreamConverter::Trim() {
  // position usually ends within one sample of the last held one, but it can
  // pass beyond it; then everything held goes, and position drops by what
  // was removed so that it stays the offset of the next point from the first
  // held sample (the next packet's first sample).
  const std::uint64_t consumed = static_cast<std::uint64_t>(position_);
  if (consumed == 0) {
    return;
  }
  const std::size_t removed =
      static_cast<std::size_t>(std::min<std::uint64_t>(consumed, inputSamples_.size()));
  inputSamples_.erase(inputSamples_.begin(),
                      inputSamples_.begin() + static_cast<std::ptrdiff_t>(removed));
  position_ -= static_cast<double>(removed);
}

bool StreamConverter::TakeChunk(std::vector<std::int16_t>& chunk) {
  if (outputSamples_.size() - outputTaken_ < chunkFrames_) {
    return false;
  }
  const auto first = outputSamples_.begin() + static_cast<std::ptrdiff_t>(outputTaken_);
  chunk.assign(first, first + static_cast<std::ptrdiff_t>(chunkFrames_));
  outputTaken_ += static_cast<std::size_t>(chunkFrames_);
  return true;
}

}  // namespace pcmtap

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
#include <cmath>
#include <cstring>
#include <limits>

// Wider intermediates (x87) would round differently from IEEE double.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "double arithmetic must be evaluated in double precision"
#endif
static_assert(std::numeric_limits<double>::is_iec559, "IEEE double precision required");

namespace pcmtap {

namespace {

constexpr std::uint32_t kSilentFlag = 0x2;

// The signed value of a 16-bit two's complement pattern.
std::int32_t SignExtend16(std::uint32_t bits) {
  return static_cast<std::int32_t>(bits ^ 0x8000u) - 0x8000;
}

// Makes room for `size` entries and returns the storage. The arrays only
// grow, so after the first few packets this never allocates or clears.
template <typename T>
T* GrowTo(std::vector<T>& storage, std::size_t size) {
  if (storage.size() < size) {
    storage.resize(size);
  }
  return storage.data();
}

// The pass computes a point while position + 1.0 < n, the sum rounded as a
// double. That sum never decreases as position grows, so the test holds
// exactly up to the largest double for which it holds; finding that bound
// once per pass takes the addition out of the loop. Positions are never
// negative, so a bound below zero means no point at all.
double LastPointBefore(std::size_t held) {
  if (held < 2) {
    return -1.0;
  }
  const double n = static_cast<double>(held);
  double last = n - 1.0;
  while (!(last + 1.0 < n)) {
    last = std::nextafter(last, 0.0);
  }
  return last;
}

}  // namespace

StreamConverter::StreamConverter(std::uint64_t chunkFrames)
    : chunkFrames_(chunkFrames),
      step_(44100.0 / 16000.0),
      position_(0.0),
      heldSamples_(0),
      outputBegin_(0),
      outputEnd_(0) {}

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
  double* out = GrowTo(inputSamples_, heldSamples_ + frameCount) + heldSamples_;
  heldSamples_ += frameCount;
  if (silent) {
    std::fill(out, out + frameCount, 0.0);
    return;
  }
  for (std::size_t i = 0; i < frameCount; ++i) {
    // The frame read as one 32-bit word: its two halves are the left and
    // right samples in an order that depends on the byte order, which the
    // sum does not care about. Compilers vectorise this form far better than
    // two separate 16-bit reads.
    std::uint32_t frame;
    std::memcpy(&frame, samples + 2 * i, sizeof frame);
    const std::int32_t sum = SignExtend16(frame & 0xFFFFu) + SignExtend16(frame >> 16);
    // Integer division truncates toward zero: (-3 + 0) / 2 is -1.
    out[i] = static_cast<double>(sum / 2);
  }
}

void StreamConverter::Resample() {
  std::int16_t* const kept = outputSamples_.data();
  std::copy(kept + outputBegin_, kept + outputEnd_, kept);
  outputEnd_ -= outputBegin_;
  outputBegin_ = 0;

  // Points are more than two input samples apart, so a pass over n samples
  // yields fewer than n / 2 + 2 of them; sizing once keeps the loop free of
  // capacity checks.
  const double* in = inputSamples_.data();
  std::int16_t* const first = GrowTo(outputSamples_, outputEnd_ + heldSamples_ / 2 + 2) + outputEnd_;
  std::int16_t* out = first;
  const double step = step_;
  const double last = LastPointBefore(heldSamples_);
  double position = position_;
  while (position <= last) {
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
  outputEnd_ += static_cast<std::size_t>(out - first);
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
  const std::size_t removed = static_cast<std::size_t>(std::min<std::uint64_t>(consumed, heldSamples_));
  double* const held = inputSamples_.data();
  std::copy(held + removed, held + heldSamples_, held);
  heldSamples_ -= removed;
  position_ -= static_cast<double>(removed);
}

bool StreamConverter::TakeChunk(std::vector<std::int16_t>& chunk) {
  if (outputEnd_ - outputBegin_ < chunkFrames_) {
    return false;
  }
  const std::int16_t* const first = outputSamples_.data() + outputBegin_;
  chunk.assign(first, first + chunkFrames_);
  outputBegin_ += static_cast<std::size_t>(chunkFrames_);
  return true;
}

}  // namespace pcmtap

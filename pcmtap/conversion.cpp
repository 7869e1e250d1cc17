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

// Linear interpolation between in[i] and in[i + 1] at i + fraction, one
// rounding per operation: the difference, the product, the sum.
std::int16_t InterpolateAt(const double* in, std::size_t i, double fraction) {
  const double a = in[i];
  const double b = in[i + 1];
  const double difference = b - a;
  const double product = difference * fraction;
  return static_cast<std::int16_t>(RoundHalfAwayFromZero(product + a));
}

// Makes room for `size` entries and returns the storage. The arrays only
// grow, so after the first few packets this never allocates or clears.
template <typename T>
T* GrowTo(std::vector<T>& storage, std::size_t size) {
  storage.resize(std::max(storage.size(), size));
  return storage.data();
}

}  // namespace

StreamConverter::StreamConverter(std::uint64_t chunkFrames)
    : step_(44100.0 / 16000.0), position_(0.0), heldSamples_(0), outputSamples_(chunkFrames) {}

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
    // sum does not care about. Compilers vectorise these shifts far better
    // than two separate 16-bit reads. (The conversion to signed wraps and
    // the right shift is arithmetic on every compiler this builds with, as
    // C++20 requires.)
    std::uint32_t frame;
    std::memcpy(&frame, samples + 2 * i, sizeof frame);
    const std::int32_t low = static_cast<std::int32_t>(frame << 16) >> 16;
    const std::int32_t high = static_cast<std::int32_t>(frame) >> 16;
    const std::int32_t sum = low + high;
    // Integer division truncates toward zero: (-3 + 0) / 2 is -1.
    out[i] = static_cast<double>(sum / 2);
  }
}

void StreamConverter::Resample() {
  // Points are more than two input samples apart, so a pass over n samples
  // yields fewer than n / 2 + 2 of them; sizing once keeps the loop free of
  // capacity checks.
  const double* in = inputSamples_.data();
  std::int16_t* const first = outputSamples_.Room(heldSamples_ / 2 + 2);
  std::int16_t* out = first;
  const double held = static_cast<double>(heldSamples_);
  // An output point is computed only once the sample after it has arrived.
  while (position_ + 1.0 < held) {
    // position_ is never negative, so truncation is floor.
    const auto i = static_cast<std::size_t>(position_);
    *out++ = InterpolateAt(in, i, position_ - static_cast<double>(i));
    position_ += step_;
  }
  outputSamples_.Commit(static_cast<std::size_t>(out - first));
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
      static_cast<std::size_t>(std::min<std::uint64_t>(consumed, heldSamples_));
  double* const held = inputSamples_.data();
  std::copy(held + removed, held + heldSamples_, held);
  heldSamples_ -= removed;
  position_ -= static_cast<double>(removed);
}

bool StreamConverter::TakeChunk(std::vector<std::int16_t>& chunk) { return outputSamples_.TakeChunk(chunk); }

std::int16_t* ChunkQueue::Room(std::size_t count) {
  // What no chunk took moves to the front. When nothing was taken it is
  // there already, and std::copy may not write onto its own source.
  if (begin_ != 0) {
    std::int16_t* const kept = samples_.data();
    std::copy(kept + begin_, kept + end_, kept);
    end_ -= begin_;
    begin_ = 0;
  }
  return GrowTo(samples_, end_ + count) + end_;
}

bool ChunkQueue::TakeChunk(std::vector<std::int16_t>& chunk) {
  if (end_ - begin_ < chunkFrames_) {
    return false;
  }
  const std::int16_t* const first = samples_.data() + begin_;
  chunk.assign(first, first + chunkFrames_);
  begin_ += static_cast<std::size_t>(chunkFrames_);
  return true;
}

}  // namespace pcmtap

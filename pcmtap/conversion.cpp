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

// Positions come from adding step again and again, a serial chain that
// would bound the whole converter. Beyond 8.0 the chain has a closed form.
// Every position is a multiple of 2^-51, as step is and as removing whole
// samples keeps it. In a binade [2^e, 2^(e+1)) doubles are g = 2^(e-52)
// apart; for e >= 3, step modulo g is an odd multiple of 2^-51, never the
// tie g / 2, so p + step rounds to p plus the same increment for every p of
// the binade as long as the sum stays in it. Counted in units of g, the
// points of a binade are then the integers start + k * increment: whole
// sample and fraction fall out as bit fields, with the same values as the
// chain gives.
constexpr double kProgressionStart = 8.0;

// Linear interpolation between in[i] and in[i + 1] at i + fraction.
std::int16_t InterpolateAt(const double* in, std::int64_t i, double fraction) {
  const double a = in[i];
  const double b = in[i + 1];
  const double difference = b - a;
  const double product = difference * fraction;
  return static_cast<std::int16_t>(RoundHalfAwayFromZero(product + a));
}

// Interpolates at `count` points start, start + increment, ..., positions
// counted in units of 2^-shift samples, one output sample per point.
void InterpolateRun(std::int64_t start, std::int64_t increment, std::int64_t count, int shift,
                    const double* in, std::int16_t* out) {
  const std::int64_t fractionMask = (std::int64_t{1} << shift) - 1;
  const double unit = 1.0 / static_cast<double>(std::int64_t{1} << shift);
  std::int64_t point = start;
  for (std::int64_t k = 0; k < count; ++k) {
    // The fraction's bits times a power of two: exact.
    out[k] = InterpolateAt(in, point >> shift, static_cast<double>(point & fractionMask) * unit);
    point += increment;
  }
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
  // What no chunk took moves to the front. When nothing was taken it is
  // there already, and std::copy may not write onto its own source.
  if (outputBegin_ != 0) {
    std::int16_t* const kept = outputSamples_.data();
    std::copy(kept + outputBegin_, kept + outputEnd_, kept);
    outputEnd_ -= outputBegin_;
    outputBegin_ = 0;
  }

  // Points are more than two input samples apart, so a pass over n samples
  // yields fewer than n / 2 + 2 of them; sizing once keeps the loop free of
  // capacity checks.
  const double* in = inputSamples_.data();
  std::int16_t* const first =
      GrowTo(outputSamples_, outputEnd_ + heldSamples_ / 2 + 2) + outputEnd_;
  std::int16_t* out = first;
  const double step = step_;
  const double last = LastPointBefore(heldSamples_);
  double position = position_;
  double binadeEnd = 2 * kProgressionStart;
  int shift = 52 - 3;  // for [8, 16)
  while (position <= last) {
    if (position < kProgressionStart) {
      // position is never negative, so truncation is floor.
      const auto i = static_cast<std::int64_t>(position);
      *out++ = InterpolateAt(in, i, position - static_cast<double>(i));
      position += step;
      continue;
    }
    // Count in units of g = 2^-shift: scaling by a power of two is exact,
    // and every position of the binade is a whole number of units below 2^53.
    while (binadeEnd <= position) {
      binadeEnd *= 2.0;
      --shift;
    }
    const double units = static_cast<double>(std::int64_t{1} << shift);
    const auto start = static_cast<std::int64_t>(position * units);
    const auto increment = static_cast<std::int64_t>(((position + step) - position) * units);
    // The last point of the run: in the binade and not beyond `last` (every
    // double of the binade is a whole number of units).
    const std::int64_t bound =
        last < binadeEnd ? static_cast<std::int64_t>(last * units) : (std::int64_t{1} << 53) - 1;
    const std::int64_t count = (bound - start) / increment + 1;
    InterpolateRun(start, increment, count, shift, in, out);
    out += count;
    // The step out of the run is an ordinary addition: it may leave the binade.
    position = static_cast<double>(start + (count - 1) * increment) / units + step;
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
  const std::size_t removed =
      static_cast<std::size_t>(std::min<std::uint64_t>(consumed, heldSamples_));
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

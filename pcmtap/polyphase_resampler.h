// The core of the band-limited resampler: from any rate to 16 kHz with a
// Kaiser-windowed sinc, polyphase, the position of every output tracked
// exactly in integers.
//
// Output j stands for input position p_j = offset + j * rate / 16000 (in input
// samples) and is the input filtered by a linear-phase kernel of the given
// length that starts at p_j and looks back: sum over i of h(p_j - i) * x_i,
// with h zero outside [0, length). Input before the first sample counts as
// silence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcmtap {

class PolyphaseResampler {
 public:
  static constexpr std::uint32_t kOutputRate = 16000;

  // Output 0 stands for input position offset / 16000 samples past input 0.
  PolyphaseResampler(std::uint32_t inputRate, double kernelSeconds, std::uint32_t offset);

  // Takes `count` input samples (full scale ±1.0; null: silence) and appends
  // to `outputs` every output whose input has now fully arrived, unrounded.
  // The summation order of an output does not depend on how the input was
  // cut into calls, so the outputs are the same to the bit for any split.
  void Push(const float* samples, std::size_t count, std::vector<float>& outputs);

  // Where the next output stands past the end of the input pushed so far, in
  // 1/16000ths of an input sample; once input has come, at most one output
  // step past it.
  std::uint32_t NextOutputOffset() const;

 private:
  // Where an output stands: the newest input sample its window reaches, and
  // the fraction of a sample past it, in units.
  struct Position {
    std::size_t newest;
    std::uint32_t fraction;
  };

  Position After(Position output) const;
  const float* Row(std::uint32_t phase) const { return kernel_.data() + phase * rowStride_; }
  float OutputAt(Position output, std::size_t windowEnd) const;

  // The position's fraction counts units of 1/units_ of an input sample, a
  // unit being unitSize_ 16000ths; an output step is stepWhole_ samples and
  // stepFraction_ units.
  std::uint32_t units_;
  std::uint32_t unitSize_;
  std::uint32_t stepWhole_;
  std::uint32_t stepFraction_;
  // The part of the offset finer than a unit, in 16000ths: every phase of
  // the table is shifted by it.
  std::uint32_t offsetWithinUnit_;

  // Outputs go in pairs that share one window of window_ samples, which ends
  // at the second's newest sample: the first's taps sit up to maxShift_
  // samples earlier in it. One row of the table per phase: zeros, the taps
  // oldest first, and maxShift_ zeros, so that a row read
  // shifted still covers the window. Either one row per unit, or a grid of
  // rows interpolated between.
  std::size_t maxShift_;
  std::size_t window_;
  std::size_t rowStride_;
  bool interpolated_;
  std::vector<float> kernel_;

  // Input not yet wholly consumed: the first held_ entries, with room for a
  // window past them. The storage only grows.
  std::vector<float> history_;
  std::size_t held_;
  Position next_;
  bool nextIsSecond_;
};

}  // namespace pcmtap

// Band-limited resampling of mono audio from any rate of 8,000 to 192,000 Hz
// to 16 kHz: flat to 7 kHz, and whatever lies from 8.4 kHz up (where it
// would alias below 7.6 kHz) at least about 125 dB down.
//
// Output j stands for input position p_j = offset + j * rate / 16000 (in input
// samples) and shows the input around p_j - 3.5 ms through a linear-phase
// low-pass that reaches from p_j back: an input instant never shows in an
// output that stands for an earlier time, and shows at its peak 3.5 ms
// later, at every rate, so that captures at different rates line up. Input
// before the first sample counts as silence.
//
// Even rates from 44 kHz up are first halved, once or more, by half-band
// filters, which cost a fraction of what the sharp filter costs at the full
// rate (44.1 kHz: 32 taps at 22.05 kHz, then 128 per output instead of 256);
// a polyphase windowed sinc then takes the rest to 16 kHz, its length making
// up what the halvings leave of the delay.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pcmtap/half_band_decimator.h"
#include "pcmtap/polyphase_resampler.h"

namespace pcmtap {

class BandLimitedResampler {
 public:
  static constexpr std::uint32_t kOutputRate = PolyphaseResampler::kOutputRate;
  // The delay of every output, at every input rate.
  static constexpr std::uint32_t kDelayHundredNanoseconds = 35000;

  // Output 0 stands for input position offset / 16000 samples past input 0,
  // exact to 1/16000 of a sample of the rate the polyphase stage runs at.
  explicit BandLimitedResampler(std::uint32_t inputRate, std::uint32_t offset = 0);

  std::uint32_t InputRate() const { return inputRate_; }

  // Takes `count` input samples (full scale ±1.0; null: silence) and appends
  // to `outputs` every output whose input has now fully arrived, unrounded.
  // The summation order of an output does not depend on how the input was
  // cut into calls, so the outputs are the same to the bit for any split.
  void Push(const float* samples, std::size_t count, std::vector<float>& outputs);

  // Appends the outputs that the input pushed so far still contributes to,
  // as if silence followed: pushes the whole filter's length of silence.
  void Flush(std::vector<float>& outputs);

  // Where the next output stands past the end of the input pushed so far, in
  // 1/16000ths of an input sample.
  std::uint32_t NextOutputOffset() const;

 private:
  std::uint32_t inputRate_;
  std::vector<HalfBandDecimator> halvings_;
  PolyphaseResampler polyphase_;
  // Input samples pushed, modulo the halvings' factor: the halved streams
  // run up to that many samples behind the input.
  std::uint32_t pushedModFactor_;
  // The halvings' outputs, in turn. The storage only grows.
  std::array<std::vector<float>, 2> halved_;
};

}  // namespace pcmtap

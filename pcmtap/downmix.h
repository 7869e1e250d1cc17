// Turns interleaved frames of a device's format into mono samples at full
// scale ±1.0, weighting each channel by its speaker position so that a
// centred voice keeps its level within about 3 dB whatever the layout:
//
//   speaker                                              weight
//   the only channel of a mono stream                    1
//   front left, front right (and left/right of centre)   1/2
//   front centre                                         1/sqrt(2)   (-3 dB)
//   low frequency (LFE)                                  0
//   back, side, top and unknown positions                1/(2 sqrt(2))
//
// Stereo is thus (L + R) / 2 exactly. A voice in both front channels keeps
// its level; one in the centre speaker alone comes out 3 dB down; the
// surrounds count as much as a standard downmix gives them next to the
// fronts (-3 dB against a front). The LFE channel is dropped: it carries
// effects bass, not speech, and the usual downmix recommendations leave it
// out or attenuate it. Channels beyond the mask's set bits count as unknown.
// Float samples are not clipped here: only the final 16-bit rounding
// saturates.
#pragma once

#include <cstdint>
#include <vector>

#include "pcmtap/sample_format.h"

namespace pcmtap {

// How a frame's channels become one sample: weighed by their speakers as
// above, or the first channel alone. A microphone array's channels hear one
// voice a fraction of a millisecond apart, so their sum would cancel some of
// its frequencies (a comb filter); its first channel is a whole microphone.
enum class ChannelUse { Downmix, First };

class Downmix {
 public:
  explicit Downmix(const SampleFormat& format, ChannelUse use = ChannelUse::Downmix);

  // Writes frameCount mono samples, reading frameCount frames.
  void ToMono(const std::uint8_t* frames, std::uint32_t frameCount, float* mono);

 private:
  SampleEncoding encoding_;
  // One per channel, the full scale of the encoding folded in (powers of two,
  // so exact).
  std::vector<float> weights_;
  // A packet's samples decoded; the storage only grows.
  std::vector<float> samples_;
};

}  // namespace pcmtap

// Downmix, band-limited resampler and chunker: turns packets in a device's
// own format into fixed-size chunks of 16 kHz mono signed 16-bit samples,
// with a low-pass filter that keeps what lies above 8 kHz from aliasing into
// the band (see band_limited_resampler.h; the downmix is in downmix.h). Pure
// arithmetic on arrays, like StreamConverter, whose chunks it matches in
// form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pcmtap/band_limited_resampler.h"
#include "pcmtap/conversion.h"
#include "pcmtap/downmix.h"
#include "pcmtap/sample_format.h"

namespace pcmtap {

class BandLimitedConverter {
 public:
  BandLimitedConverter(std::uint64_t chunkFrames, const SampleFormat& format,
                       ChannelUse channels = ChannelUse::Downmix);

  // Converts frameCount frames of the current format, read only during the
  // call. With a null pointer or the silent flag (0x2) every frame counts as
  // zero; other flag bits are ignored: the stream is continuous across every
  // packet.
  void AddPacket(const std::uint8_t* data, std::uint32_t frameCount, std::uint32_t flags);

  // The packets that follow come in `format`: a new stream that takes up
  // where the last one ended. At a new rate the old resampler's pending
  // outputs are added into the new one's first ones and the output goes on
  // at the exact next output time (to 1/32000 of a sample at the rate the
  // new polyphase stage runs at): no gap, no time counted twice, and the
  // count of outputs goes on. Otherwise the same filter goes on.
  void SetFormat(const SampleFormat& format);

  // true: `chunk` now holds the next full chunk of chunkFrames samples,
  // rounded to nearest and clipped to the 16-bit range.
  bool TakeChunk(std::vector<std::int16_t>& chunk);

 private:
  void Emit();

  ChannelUse channels_;
  Downmix downmix_;
  BandLimitedResampler resampler_;
  // For the first sample after a change of rate; 1 otherwise.
  float firstSampleWeight_;
  // The packet downmixed, then the resampler's outputs for it. Both only grow.
  std::vector<float> mono_;
  std::vector<float> resampled_;
  // What earlier resamplers still add into the coming outputs, from entry
  // pendingBegin_ on.
  std::vector<float> pending_;
  std::size_t pendingBegin_;
  ChunkQueue outputSamples_;  // not yet handed out
};

}  // namespace pcmtap

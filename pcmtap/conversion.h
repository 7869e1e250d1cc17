// Downmix, resampler and chunker: turns 44.1 kHz interleaved stereo packets
// into fixed-size chunks of 16 kHz mono samples. Pure arithmetic on arrays;
// no platform types, so it builds and is tested on any system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcmtap {

// Rounds to the nearest integer, halves away from zero (2.5 -> 3,
// -0.5 -> -1), like std::lround but without its library call. Exact for
// every |v| < 2^31: v - truncated is computed without rounding.
inline std::int32_t RoundHalfAwayFromZero(double v) {
  const std::int32_t truncated = static_cast<std::int32_t>(v);
  const double rest = v - truncated;
  return truncated + (rest >= 0.5) - (rest <= -0.5);
}

class StreamConverter {
 public:
  explicit StreamConverter(std::uint64_t chunkFrames);

  // Downmixes the packet's frames, resamples as far as the held input allows
  // and drops the input no longer needed. `samples` holds 2 * frameCount
  // interleaved values (left first) and is read only during the call; a null
  // pointer or the silent flag (0x2) stands for frameCount zero frames. Other
  // flag bits are ignored: the stream is continuous across every packet.
  void AddPacket(const std::int16_t* samples, std::uint32_t frameCount, std::uint32_t flags);

  // true: `chunk` now holds the next full chunk of chunkFrames samples.
  bool TakeChunk(std::vector<std::int16_t>& chunk);

 private:
  void Downmix(const std::int16_t* samples, std::uint32_t frameCount, bool silent);
  void Resample();
  void Trim();

  std::uint64_t chunkFrames_;
  double step_;
  double position_;
  std::vector<std::int16_t> inputSamples_;
  std::vector<std::int16_t> outputSamples_;
  // Samples before this offset in outputSamples_ were already handed out.
  // They are dropped once per packet rather than once per chunk, so that a
  // packet yielding many chunks costs linear, not quadratic, time.
  std::size_t outputTaken_;
};

}  // namespace pcmtap

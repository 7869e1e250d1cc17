// Downmix, resampler and chunker: turns 44.1 kHz interleaved stereo packets
// into fixed-size chunks of 16 kHz mono samples. Pure arithmetic on arrays;
// no platform types, so it builds and is tested on any system.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcmtap {

// Rounds to the nearest integer, halves away from zero (2.5 -> 3,
// -0.5 -> -1), like std::lround but without its library call. Adding the
// largest double below one half, rather than one half, keeps a value just
// below a half (0.49999999999999994) from being carried up by the addition;
// values at or above a half still reach the next integer. Exact for every
// |v| < 2^31.
inline std::int32_t RoundHalfAwayFromZero(double v) {
  const double justBelowHalf = 0.49999999999999994;
  return static_cast<std::int32_t>(v + std::copysign(justBelowHalf, v));
}

// 16 kHz samples not yet cut into chunks, and the cutting, for both
// converters. Taken chunks only advance the start; what is left moves to the
// front when room is made, once per packet, so a packet that yields many
// chunks costs linear time.
class ChunkQueue {
 public:
  explicit ChunkQueue(std::uint64_t chunkFrames) : chunkFrames_(chunkFrames) {}

  // Room for `count` samples after those queued, to be written and then
  // committed. The storage only grows: after the first few packets this
  // neither allocates nor clears.
  std::int16_t* Room(std::size_t count);
  void Commit(std::size_t count) { end_ += count; }

  // true: `chunk` now holds the next full chunk of chunkFrames samples.
  bool TakeChunk(std::vector<std::int16_t>& chunk);

 private:
  std::uint64_t chunkFrames_;
  std::vector<std::int16_t> samples_;  // queued: entries begin_ to end_
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

class StreamConverter {
 public:
  explicit StreamConverter(std::uint64_t chunkFrames);

  // Downmixes the packet's frames, resamples as far as the held input allows
  // and drops the input no longer needed. `samples` holds 2 * frameCount
  // interleaved values (left first) and is read only during the call; with a
  // null pointer or the silent flag (0x2) every frame counts as zero. Other
  // flag bits are ignored: the stream is continuous across every packet.
  void AddPacket(const std::int16_t* samples, std::uint32_t frameCount, std::uint32_t flags);

  // true: `chunk` now holds the next full chunk of chunkFrames samples.
  bool TakeChunk(std::vector<std::int16_t>& chunk);

 private:
  void Downmix(const std::int16_t* samples, std::uint32_t frameCount, bool silent);
  void Resample();
  void Trim();

  double step_;
  double position_;
  // Downmixed input not yet wholly consumed: the first heldSamples_ entries.
  // Each is a 16-bit value held exactly as a double, so the resampler reads
  // it without a conversion. The storage only grows: packets neither
  // allocate nor clear it.
  std::vector<double> inputSamples_;
  std::size_t heldSamples_;
  ChunkQueue outputSamples_;  // not yet handed out
};

}  // namespace pcmtap

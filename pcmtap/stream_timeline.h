// Where the captured stream ends on a timeline that starts when the audio
// client starts, counted in the device's frames, so that time which no
// captured frame covers can be filled with silence: the k-th output sample
// then stands for the time k / 16000 s after the start. Times are
// performance-counter values in 100 ns units, as the capture client reports a
// packet's position.
#pragma once

#include <cstdint>

namespace pcmtap {

class StreamTimeline {
 public:
  explicit StreamTimeline(std::uint64_t startTime, std::uint32_t framesPerSecond = 44100);

  // The device's frames count at `framesPerSecond` from the stream's present
  // end on (a device of another format took over); the same rate changes
  // nothing.
  void SetRate(std::uint32_t framesPerSecond);

  // Silence reaches the converter in slices of one device period (10 ms):
  // whole slices while a gap lasts, the rest when it ends. How a gap is cut
  // into packets changes the linear resampler's rounding, and so the records
  // of a gap depend on its length alone, not on how the passes of the loop
  // fell.
  std::uint32_t SliceFrames() const { return rate_ / 100; }

  // Frames of silence that go before a packet whose first frame was captured
  // at `position`; the stream's end moves to the packet's start. A packet
  // that starts before the end is taken whole, where it is.
  std::uint64_t SilenceBefore(std::uint64_t position);
  // The packet's frames are in the stream (also one whose position is flagged
  // as invalid, which continues the stream where it ends).
  void Advance(std::uint32_t frames) { end_ += frames; }
  // Frames of silence, in whole slices, that bring the stream up to `now`
  // less the margin, when no packet has come.
  std::uint64_t SilenceUntil(std::uint64_t now);

 private:
  std::int64_t FramesAt(std::uint64_t time) const;
  std::uint64_t SilenceFor(std::int64_t gap) const;

  std::uint64_t startTime_;
  std::uint32_t rate_;
  std::int64_t end_ = 0;  // in frames since the start
  bool endIsSilence_ = false;
};

}  // namespace pcmtap

// Where the captured stream ends on a 44.1 kHz timeline that starts when the
// audio client starts, so that time which no captured frame covers can be
// filled with silence: the k-th output sample then stands for the time
// k / 16000 s after the start. Times are performance-counter values in
// 100 ns units, as the capture client reports a packet's position.
#pragma once

#include <cstdint>

namespace pcmtap {

class StreamTimeline {
 public:
  // Packets that start within one device period of the stream's end continue
  // it: the device's clock may run a little off the performance counter.
  static constexpr std::int64_t kContinuityFrames = 441;  // 10 ms
  // While nothing arrives the stream is extended only this far behind the
  // present, so that audio resuming meanwhile (packets arrive a device period
  // or so after their position) is not overtaken by the silence.
  static constexpr std::int64_t kMarginFrames = 22050;  // 0.5 s
  // A gap longer than the loop could leave unfilled (a suspended machine, a
  // starved process) is skipped instead of filled, so that records never
  // come in a flood.
  static constexpr std::int64_t kLongestFilledGapFrames = std::int64_t{30} * 44100;
  // Silence reaches the converter in slices of one device period: whole
  // slices while a gap lasts, the rest when it ends. How a gap is cut into
  // packets changes the resampler's rounding, and so the records of a gap
  // depend on its length alone, not on how the passes of the loop fell.
  static constexpr std::uint32_t kSilenceSliceFrames = 441;

  explicit StreamTimeline(std::uint64_t startTime);

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

  std::uint64_t startTime_;
  std::int64_t end_ = 0;  // in frames since the start
  bool endIsSilence_ = false;
};

}  // namespace pcmtap

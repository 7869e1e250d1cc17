// Where the captured stream ends on a timeline that starts when the audio
// client starts, counted in the device's frames, so that time which no
// captured frame covers can be filled with silence: the k-th output sample
// then stands for the time k / 16000 s after the start. Times are
// performance-counter values in 100 ns units, as the capture client reports a
// packet's position.
//
// A position is not always the capture time of the packet's first frame: a
// device that stamps its packets when they are read (wine's capture path
// does, 10 to 25 ms late, jittering by 10 to 60 ms) puts each one late by a
// varying amount. So the device's clock is estimated from many positions,
// not from one: each packet's lateness against the stream's end is kept over
// the last two seconds of the stream, their least (the lower envelope) is
// where the stream lies against the performance counter, and their spread is
// how much a position may jitter. A packet continues the stream unless it
// starts later than the envelope by more than that spread and a device period
// (a gap, filled with its length less the typical lateness, both told by the
// median of many positions) or earlier by as much (taken whole, where the
// stream ends). With exact positions the spread is nil and a gap of more than
// one device period is filled to the frame.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

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
  // that starts before the end is taken whole, where it is. A packet that
  // ends a gap starts the gap's settling: it and the packets after it wait
  // until SettleGap says what silence goes before them.
  std::uint64_t SilenceBefore(std::uint64_t position);
  // The packet's frames are in the stream (also one whose position is flagged
  // as invalid, which continues the stream where it ends).
  void Advance(std::uint32_t frames);
  bool Settling() const { return !gapEnd_.empty(); }
  // Whether the packets held tell where the gap ended as well as they will:
  // a fifth of a second of them, some twenty positions.
  bool GapSettled() const { return heldFrames_ >= rate_ / 5; }
  // Frames of silence that go before the packets held; the stream's end
  // moves past them. Nothing while none are held.
  std::uint64_t SettleGap();
  // Frames of silence, in whole slices, that bring the stream up to `now`
  // less the margin, when no packet has come.
  std::uint64_t SilenceUntil(std::uint64_t now);

  // Where the stream's first frame lies on the performance counter, as far as
  // the positions seen so far tell.
  std::uint64_t StartTime() const;
  // Whether that is known as well as it will be: the stream holds a second of
  // packets, or three seconds in all (nothing played to tell more).
  bool StartKnown() const;

 private:
  // A packet's lateness: how much later than the stream's end its position
  // lay, in frames, and the packets' frames before it.
  struct Lateness {
    std::int64_t packetFrames;
    std::int64_t frames;
  };

  std::int64_t FramesAt(std::uint64_t time) const;
  std::uint64_t SilenceFor(std::int64_t gap) const;
  // The least lateness in the window: where the stream lies.
  std::int64_t Envelope() const;
  std::int64_t Tolerance() const;
  std::int64_t TypicalLateness() const;
  void Keep(std::int64_t lateness);

  const std::uint64_t originTime_;  // the first stream's start
  std::uint64_t startTime_;         // the present rate's, since which end_ counts
  std::uint32_t rate_;
  std::int64_t end_ = 0;  // in frames since startTime_
  bool endIsSilence_ = false;
  // While a gap settles: the latenesses of the packets held, each as if it
  // began where they begin.
  std::vector<std::int64_t> gapEnd_;
  std::int64_t heldFrames_ = 0;
  std::deque<Lateness> window_;  // the last two seconds of packets
  std::int64_t packetFrames_ = 0;  // of all the packets that came
};

}  // namespace pcmtap

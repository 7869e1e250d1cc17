#include "pcmtap/stream_timeline.h"

#include <algorithm>

namespace pcmtap {
namespace {

constexpr std::uint64_t kUnitsPerSecond = 10000000;  // 100 ns units

}  // namespace

StreamTimeline::StreamTimeline(std::uint64_t startTime, std::uint32_t framesPerSecond)
    : startTime_(startTime), rate_(framesPerSecond) {}

void StreamTimeline::SetRate(std::uint32_t framesPerSecond) {
  if (framesPerSecond == rate_) return;
  const auto end = static_cast<std::uint64_t>(end_);
  startTime_ += end / rate_ * kUnitsPerSecond + (end % rate_ * kUnitsPerSecond + rate_ / 2) / rate_;
  end_ = 0;
  rate_ = framesPerSecond;
}

std::int64_t StreamTimeline::FramesAt(std::uint64_t time) const {
  // 100 ns units to frames, rounded to the nearest frame, without overflow
  // however long the run. A packet captured a hair before the start counts
  // as at the start.
  const std::uint64_t since = std::max(time, startTime_) - startTime_;
  return static_cast<std::int64_t>(since / kUnitsPerSecond * rate_ +
                                   (since % kUnitsPerSecond * rate_ + kUnitsPerSecond / 2) / kUnitsPerSecond);
}

// Packets that start within one device period (10 ms) of the stream's end
// continue it: the device's clock may run a little off the performance
// counter. A gap up to 30 s is filled whole; a longer one (a suspended
// machine, a starved process) is skipped, so that records never come in a
// flood.
std::uint64_t StreamTimeline::SilenceFor(std::int64_t gap) const {
  return gap <= std::int64_t{30} * rate_ ? static_cast<std::uint64_t>(gap) : 0;
}

std::uint64_t StreamTimeline::SilenceBefore(std::uint64_t position) {
  const std::int64_t start = FramesAt(position);
  // After silence of our own the packet's position alone says where the gap
  // ends, so that the silence for one gap adds up to its length.
  const std::int64_t tolerance = endIsSilence_ ? 0 : std::int64_t{rate_} / 100;
  const std::int64_t gap = start - end_;
  endIsSilence_ = false;
  if (gap < -tolerance) return 0;  // it overlaps the stream: taken whole, where the stream ends
  end_ = start;                    // within the tolerance, the device's own clock leads
  return gap > tolerance ? SilenceFor(gap) : 0;
}

// While nothing arrives the stream is extended only to half a second behind
// the present, so that audio resuming meanwhile (packets arrive a device
// period or so after their position) is not overtaken by the silence.
std::uint64_t StreamTimeline::SilenceUntil(std::uint64_t now) {
  const std::int64_t gap = FramesAt(now) - std::int64_t{rate_} / 2 - end_;
  const std::int64_t filled = gap / SliceFrames() * SliceFrames();  // the rest comes with the next
  if (filled <= 0) return 0;
  end_ += filled;
  endIsSilence_ = true;
  return SilenceFor(filled);
}

}  // namespace pcmtap

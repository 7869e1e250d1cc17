#include "pcmtap/stream_timeline.h"

#include <algorithm>

namespace pcmtap {
namespace {

// A gap is filled whole, or not at all when it is too long to be one the
// loop could have filled as it went.
std::uint64_t SilenceFor(std::int64_t gap) {
  return gap <= StreamTimeline::kLongestFilledGapFrames ? static_cast<std::uint64_t>(gap) : 0;
}

}  // namespace

StreamTimeline::StreamTimeline(std::uint64_t startTime) : startTime_(startTime) {}

std::int64_t StreamTimeline::FramesAt(std::uint64_t time) const {
  // 100 ns units to 44.1 kHz frames, rounded to the nearest frame: 441 frames
  // are 100000 units. A packet captured a hair before the start counts as at
  // the start.
  return static_cast<std::int64_t>(((std::max(time, startTime_) - startTime_) * 441 + 50000) / 100000);
}

std::uint64_t StreamTimeline::SilenceBefore(std::uint64_t position) {
  const std::int64_t start = FramesAt(position);
  // After silence of our own the packet's position alone says where the gap
  // ends, so that the silence for one gap adds up to its length.
  const std::int64_t tolerance = endIsSilence_ ? 0 : kContinuityFrames;
  const std::int64_t gap = start - end_;
  endIsSilence_ = false;
  if (gap < -tolerance) return 0;  // it overlaps the stream: taken whole, where the stream ends
  end_ = start;                    // within the tolerance, the device's own clock leads
  return gap > tolerance ? SilenceFor(gap) : 0;
}

std::uint64_t StreamTimeline::SilenceUntil(std::uint64_t now) {
  const std::int64_t gap = FramesAt(now) - kMarginFrames - end_;
  const std::int64_t filled = gap / kSilenceSliceFrames * kSilenceSliceFrames;  // the rest comes with the next
  if (filled <= 0) return 0;
  end_ += filled;
  endIsSilence_ = true;
  return SilenceFor(filled);
}

}  // namespace pcmtap

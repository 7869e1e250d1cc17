#include "pcmtap/stream_timeline.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

namespace pcmtap {
namespace {

constexpr std::uint64_t kUnitsPerSecond = 10000000;  // 100 ns units
// How much a position may jitter on a device whose positions jitter at all:
// wine's capture path was measured late by 10 to 25 ms and jittering by 10 to
// 20 ms, 30 to 60 ms on a loaded machine.
constexpr std::int64_t kJitterMilliseconds = 60;
// Until this many packets have shown whether their positions jitter, they are
// taken to do.
constexpr std::size_t kPacketsToTrust = 10;

// The middle one of `values`, which holds at least one.
std::int64_t Median(std::vector<std::int64_t> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace

StreamTimeline::StreamTimeline(std::uint64_t startTime, std::uint32_t framesPerSecond)
    : originTime_(startTime), startTime_(startTime), rate_(framesPerSecond) {}

void StreamTimeline::SetRate(std::uint32_t framesPerSecond) {
  if (framesPerSecond == rate_) return;
  // Latenesses and a new device's clock are counted afresh at the new rate.
  const auto end = static_cast<std::uint64_t>(end_);
  startTime_ += end / rate_ * kUnitsPerSecond + (end % rate_ * kUnitsPerSecond + rate_ / 2) / rate_;
  end_ = 0;
  rate_ = framesPerSecond;
  window_.clear();
}

std::int64_t StreamTimeline::FramesAt(std::uint64_t time) const {
  // 100 ns units to frames, rounded to the nearest frame, without overflow
  // however long the run. A packet captured a hair before the start counts
  // as at the start.
  const std::uint64_t since = std::max(time, startTime_) - startTime_;
  return static_cast<std::int64_t>(since / kUnitsPerSecond * rate_ +
                                   (since % kUnitsPerSecond * rate_ + kUnitsPerSecond / 2) / kUnitsPerSecond);
}

// A gap up to 30 s is filled whole; a longer one (a suspended machine, a
// starved process) is skipped, so that records never come in a flood.
std::uint64_t StreamTimeline::SilenceFor(std::int64_t gap) const {
  return gap <= std::int64_t{30} * rate_ ? static_cast<std::uint64_t>(gap) : 0;
}

std::int64_t StreamTimeline::Envelope() const {
  if (window_.empty()) return 0;
  return std::min_element(window_.begin(), window_.end(),
                          [](const Lateness& a, const Lateness& b) { return a.frames < b.frames; })
      ->frames;
}

// How far a position may lie from the envelope and still continue the
// stream: a device period, and the jitter seen, or what a jittery device may
// show. Positions that spread less than half a device period (a device clock
// a little off the performance counter) are exact; so is the first packet's,
// the only one there is to tell where the stream starts.
std::int64_t StreamTimeline::Tolerance() const {
  const std::int64_t envelope = Envelope();
  std::int64_t spread = 0;
  for (const Lateness& lateness : window_) spread = std::max(spread, lateness.frames - envelope);
  const std::int64_t period = rate_ / 100;
  const bool exact = window_.empty() || (window_.size() >= kPacketsToTrust && spread <= period / 2);
  return period + (exact ? spread : std::max(spread, kJitterMilliseconds * rate_ / 1000));
}

std::int64_t StreamTimeline::TypicalLateness() const {
  if (window_.empty()) return 0;
  std::vector<std::int64_t> frames;
  std::transform(window_.begin(), window_.end(), std::back_inserter(frames),
                 [](const Lateness& lateness) { return lateness.frames; });
  return Median(std::move(frames));
}

// The window holds the packets of the last two seconds of packets, silence
// between them not counted, so that a pause keeps what was learned.
void StreamTimeline::Keep(std::int64_t lateness) {
  window_.push_back({packetFrames_, lateness});
  while (packetFrames_ - window_.front().packetFrames > std::int64_t{2} * rate_) window_.pop_front();
}

std::uint64_t StreamTimeline::SilenceBefore(std::uint64_t position) {
  if (Settling()) {
    gapEnd_.push_back(FramesAt(position) - end_ - heldFrames_);
    return 0;
  }
  const std::int64_t lateness = FramesAt(position) - end_;
  // After silence of our own the packets' positions alone say where the gap
  // ends, so that the silence for one gap adds up to its length.
  const bool afterSilence = std::exchange(endIsSilence_, false);
  const std::int64_t tolerance = afterSilence ? 0 : Tolerance();
  if (lateness - Envelope() <= tolerance) {  // continues the stream, or overlaps it: taken whole, where it ends
    Keep(lateness);
    return 0;
  }
  gapEnd_.push_back(lateness);
  return 0;
}

void StreamTimeline::Advance(std::uint32_t frames) {
  packetFrames_ += frames;
  if (Settling()) {
    heldFrames_ += frames;
  } else {
    end_ += frames;
  }
}

// A gap's length, less what is typical of a position's lateness, both the
// median of many positions: one jittering position could put the gap's end
// anywhere within its jitter.
std::uint64_t StreamTimeline::SettleGap() {
  if (!Settling()) return 0;
  const std::int64_t gap = std::max<std::int64_t>(Median(gapEnd_) - TypicalLateness(), 0);
  for (const std::int64_t lateness : gapEnd_) Keep(lateness - gap);
  gapEnd_.clear();
  end_ += gap + std::exchange(heldFrames_, 0);
  return SilenceFor(gap);
}

// While nothing arrives the stream is extended only to half a second behind
// the present, so that audio resuming meanwhile (packets arrive a device
// period or so after their position) is not overtaken by the silence.
std::uint64_t StreamTimeline::SilenceUntil(std::uint64_t now) {
  const std::int64_t gap = FramesAt(now) - Envelope() - std::int64_t{rate_} / 2 - end_;
  const std::int64_t filled = gap / SliceFrames() * SliceFrames();  // the rest comes with the next
  if (filled <= 0) return 0;
  end_ += filled;
  endIsSilence_ = true;
  return SilenceFor(filled);
}

std::uint64_t StreamTimeline::StartTime() const {
  const std::int64_t envelope = Envelope() * static_cast<std::int64_t>(kUnitsPerSecond) / rate_;
  return envelope < 0 && static_cast<std::uint64_t>(-envelope) > originTime_ ? 0 : originTime_ + envelope;
}

bool StreamTimeline::StartKnown() const {
  return packetFrames_ >= rate_ || end_ >= std::int64_t{3} * rate_;
}

}  // namespace pcmtap

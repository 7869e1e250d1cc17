// The timeline of a time-true stream against hand-worked runs: the silence
// that each packet, or each pass without one, calls for. Times are given in
// frames since the start; a packet holds 441 frames.
#include "pcmtap/stream_timeline.h"

#include <gtest/gtest.h>

#include <vector>

namespace pcmtap {
namespace {

constexpr std::int64_t kStart = 7000000000, kBound = 30 * 44100;  // any performance-counter time; the longest gap filled

// P: a packet whose first frame was captured at `frame`; E: a packet flagged
// with a timestamp error; N: a pass without a packet at `frame`, the present.
struct Step { char call; std::int64_t frame; std::uint64_t silence; };

std::uint64_t TimeOf(std::int64_t frame) { return static_cast<std::uint64_t>(kStart + frame * 100000 / 441); }

// A gap's end is told by its first packet alone, or, as the driver does it,
// by the packets of its first fifth of a second.
std::uint64_t Take(StreamTimeline& timeline, const Step& step, bool settleAtOnce = true) {
  std::uint64_t silence = step.call == 'N' ? timeline.SilenceUntil(TimeOf(step.frame))
                          : step.call == 'P' ? timeline.SilenceBefore(TimeOf(step.frame)) : 0;
  if (step.call != 'N') timeline.Advance(441);
  if (settleAtOnce || timeline.GapSettled()) silence += timeline.SettleGap();
  return silence;
}

// After ten packets whose positions show no jitter (the stream then ends at
// frame 4410), or from the start.
TEST(StreamTimeline, SilenceAddsUpToEachGapAndNeverDropsAudio) {
  const struct { const char* name; bool trusted; std::vector<Step> steps; } runs[] = {
      {"beyond a device period a gap is filled to the frame; within one, nothing; an overlap is taken whole", true,
       {{'P', 4410, 0}, {'P', 5293, 442}, {'P', 5734, 0}, {'P', 6000, 0}, {'P', 6441, 0}}},
      {"a pause is filled in whole slices while it lasts, half a second behind, and to the frame when it ends", true,
       {{'N', 4410 + 22050, 0}, {'N', 4410 + 23473, 1323}, {'N', 4410 + 23473, 0}, {'P', 34410, 28677},
        {'P', 34851, 0}, {'E', 0, 0}, {'P', 35733, 0}}},
      {"a gap up to the bound is filled, a longer one skipped, by packets and by passes alike", true,
       {{'P', 4410 + kBound, kBound}, {'P', 4851 + 2 * kBound + 1, 0}, {'P', 5292 + 2 * kBound + 1, 0},
        {'N', 5733 + 3 * kBound + 22492, 0}, {'N', 6174 + 3 * kBound + 22492, 441}, {'P', 6615 + 3 * kBound + 9, 8}}},
      {"nothing plays from the start; the first packet is placed by its own position", false,
       {{'N', 22050 + 541, 441}, {'P', 1000, 559}}},
  };
  for (const auto& run : runs) {
    StreamTimeline timeline(kStart);
    for (int k = 0; k < (run.trusted ? 10 : 0); ++k) Take(timeline, {'P', 441 * k, 0});
    for (const Step& step : run.steps) {
      EXPECT_EQ(Take(timeline, step), step.silence) << run.name << ", step " << &step - run.steps.data();
    }
  }
}

// Positions stamped when a pair of packets was read, as wine stamps them:
// late by 10 to 70 ms. Continuous audio gets no silence; a second without
// packets gets a second of it within 5 ms, though the first packet after it
// was read 40 ms late, as the packets of the gap's end tell it together; and
// the stream's start, when the clock record would tell it, is placed by the
// least late position.
TEST(StreamTimeline, JitteringPositionsTellGapsFromLateness) {
  const auto late = [](int k) { return 882 + (k / 2 * 7919 % 11) * 220 - (k % 2) * 441; };
  StreamTimeline timeline(kStart);
  std::uint64_t start = 0;
  for (int k = 0; k < 600; ++k) {
    const std::int64_t frame = 441 * k + (k >= 300 ? 44100 : 0);  // the device stops for a second at 3 s
    const std::uint64_t silence = Take(timeline, {'P', frame + late(k) + (k == 300 ? 1764 : 0), 0}, false);
    if (k == 19) {
      start = silence;
      EXPECT_TRUE(silence >= 441 && silence <= 3082) << "from the start to the first packets: " << silence;
    } else if (k == 319) {
      EXPECT_NEAR(static_cast<double>(silence), 44100.0, 220) << "the second without packets";
    } else {
      EXPECT_EQ(silence, 0U) << "packet " << k;
    }
    EXPECT_EQ(timeline.StartKnown(), k >= 99) << "packet " << k;
    if (k == 99) {
      // The stream's first frame lay `start` before the first packet's true
      // time; the estimate is late by the least lateness seen, 10 ms.
      const double truth = static_cast<double>(kStart) - static_cast<double>(start) * 1e7 / 44100;
      EXPECT_NEAR(static_cast<double>(timeline.StartTime()) - truth, 1e5, 1e3);
    }
  }
}

}  // namespace
}  // namespace pcmtap

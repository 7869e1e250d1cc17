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

TEST(StreamTimeline, SilenceAddsUpToEachGapAndNeverDropsAudio) {
  const struct { const char* name; std::vector<Step> steps; } runs[] = {
      {"within a device period either way the device's clock leads; beyond, silence or overlap",
       {{'P', 0, 0}, {'P', 441, 0}, {'P', 1323, 0}, {'P', 2206, 442}, {'P', 2206, 0}, {'P', 3089, 442}, {'P', 3088, 0},
        {'P', 3971, 0}}},
      {"a pause is filled in whole slices while it lasts, half a second behind, and to the frame when it ends",
       {{'P', 0, 0}, {'N', 22491, 0}, {'N', 23914, 1323}, {'N', 23914, 0}, {'P', 30000, 28236}, {'P', 30441, 0},
        {'E', 0, 0}, {'P', 31323, 0}}},
      {"a gap up to the bound is filled, a longer one skipped, by packets and by passes alike",
       {{'P', 0, 0}, {'P', 441 + kBound, kBound}, {'P', 882 + 2 * kBound + 1, 0}, {'P', 1323 + 2 * kBound + 1, 0},
        {'N', 1764 + 3 * kBound + 22492, 0}, {'N', 2205 + 3 * kBound + 22492, 441}, {'P', 2646 + 3 * kBound + 9, 8}}},
      {"a packet from before the start", {{'P', -3, 0}, {'P', 438, 0}, {'P', 1321, 442}}},
      {"nothing plays from the start", {{'N', 22050 + 541, 441}, {'P', 1000, 559}}},
  };
  for (const auto& run : runs) {
    StreamTimeline timeline(kStart);
    for (const Step& step : run.steps) {
      const auto at = static_cast<std::uint64_t>(kStart + step.frame * 100000 / 441);  // 441 frames: 100000 units
      const std::uint64_t silence = step.call == 'N' ? timeline.SilenceUntil(at)
                                    : step.call == 'P' ? timeline.SilenceBefore(at) : 0;
      if (step.call != 'N') timeline.Advance(441);
      EXPECT_EQ(silence, step.silence) << run.name << ", step " << &step - run.steps.data();
    }
  }
}

}  // namespace
}  // namespace pcmtap

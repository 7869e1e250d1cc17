// Tells when a capture is deaf: it hears nothing but digital silence while
// audio sessions that it should hear play audibly; and when it hears again.
// It is fed one read of the sessions at a time and keeps no platform state,
// so that its windows and thresholds are tested on any system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace pcmtap {

// One read of the sessions: when (milliseconds on a steady clock), whether
// the capture took a non-zero sample since the read before, and the
// processes whose counted sessions played audibly at this read.
struct SessionRead {
  std::uint64_t time;
  bool heard;
  std::vector<std::uint32_t> audible;
};

struct Notice {
  enum class Code { None, Deaf, Hearing };
  Code code = Code::None;
  std::vector<std::uint32_t> processIds;  // for Deaf: ascending, without duplicates
};

class DeafnessCheck {
 public:
  // A session plays audibly at a peak of -40 dBFS or more, its volume applied.
  static constexpr float kAudiblePeak = 0.01F;
  // The capture is deaf once, over the last 3 s, it heard nothing at all and
  // at least two reads in three found playback: speech pauses between words,
  // and each read sees one device period only. Playback of under about
  // 1.5 s never fills two thirds of the window.
  static constexpr std::uint64_t kWindowMilliseconds = 3000;
  // A window with fewer reads (the machine was suspended, or the watch
  // starved) tells nothing.
  static constexpr std::size_t kFewestReads = 6;

  // The notice that this read calls for, if any: Deaf at most once an
  // episode, then Hearing at the first read that heard something, which
  // starts a new episode.
  Notice Read(SessionRead read);

 private:
  std::deque<SessionRead> window_;  // this episode's reads of the last 3 s
  std::uint64_t episodeStart_ = 0;
  bool deaf_ = false;
};

}  // namespace pcmtap

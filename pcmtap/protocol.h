// The records that pcmtap writes on standard output: one JSON object per
// line, CR LF after each, every line written whole and flushed at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "pcmtap/cli.h"

namespace pcmtap {

// Standard Base64 (RFC 4648, section 4) with "=" padding and no line breaks.
std::string EncodeBase64(const std::uint8_t* data, std::size_t size);

// The records' text, line end included. A pcm record's payload is encoded
// before anything else: running out of memory leaves no half record behind.
std::string ReadyRecord(const CaptureOptions& options);
std::string PcmRecord(std::uint64_t sequence, const std::vector<std::int16_t>& chunk);
// With --gaps fill, once before the first pcm record: the time of the
// stream's first sample on the performance counter, in 100 ns units.
std::string ClockRecord(std::uint64_t firstSampleTime);
// Notices, written between pcm records with --notices on. The capture hears
// only zeros while these processes' sessions play audibly (none named for a
// microphone, which should always hear its own noise):
std::string DeafNotice(const std::vector<std::uint32_t>& processIds);
// After a deaf notice, the capture hears sound again:
std::string HearingNotice();
// What tells whether the capture hears cannot be read; `detail` names the
// call and its status:
std::string UncheckedNotice(const std::string& detail);
// The microphone's endpoint mute turned on, or off:
std::string MutedNotice();
std::string UnmutedNotice();

// Each writer flushes `out` and throws std::runtime_error("Failed to write to
// standard output") when the stream has failed, so that a vanished reader
// ends the run instead of losing records silently.
void WriteReadyRecord(std::ostream& out, const CaptureOptions& options);
void WriteReadyRecord(std::ostream& out, std::uint32_t targetProcessId, LoopbackMode mode);
void WritePcmRecord(std::ostream& out, std::uint64_t sequence,
                    const std::vector<std::int16_t>& chunk);

}  // namespace pcmtap

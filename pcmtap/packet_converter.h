// The converter of a run, whichever resampler was asked for: packets in the
// stream's format in, fixed-size chunks of 16 kHz mono samples out.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "pcmtap/cli.h"
#include "pcmtap/downmix.h"
#include "pcmtap/sample_format.h"

namespace pcmtap {

class PacketConverter {
 public:
  virtual ~PacketConverter() = default;
  // `data` holds frameCount frames of the present format (null or flagged
  // silent: zeros), read only during the call.
  virtual void AddPacket(const std::uint8_t* data, std::uint32_t frameCount, std::uint32_t flags) = 0;
  // true: `chunk` now holds the next full chunk.
  virtual bool TakeChunk(std::vector<std::int16_t>& chunk) = 0;
  // The packets that follow come in `format`, from a new stream that takes up
  // where the last one ended.
  virtual void SetFormat(const SampleFormat& format) = 0;
  // How long after the time it stands for an output sample shows the input.
  virtual std::uint64_t DelayHundredNanoseconds() const = 0;
};

// The linear converter takes 44.1 kHz stereo 16-bit only; throws
// std::logic_error for any other format, which no stream of it is opened at.
std::unique_ptr<PacketConverter> MakePacketConverter(Resampler resampler, std::uint64_t chunkFrames,
                                                     const SampleFormat& format,
                                                     ChannelUse channels = ChannelUse::Downmix);

}  // namespace pcmtap

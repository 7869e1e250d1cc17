#include "pcmtap/packet_converter.h"

#include <stdexcept>

#include "pcmtap/band_limited_converter.h"
#include "pcmtap/conversion.h"

namespace pcmtap {
namespace {

void RequireLinearFormat(const SampleFormat& format) {
  if (format.sampleRate != 44100 || format.channels != 2 || format.encoding != SampleEncoding::Int16) {
    throw std::logic_error("the linear converter takes 44.1 kHz stereo 16-bit only");
  }
}

class LinearPacketConverter final : public PacketConverter {
 public:
  explicit LinearPacketConverter(std::uint64_t chunkFrames) : converter_(chunkFrames) {}
  void AddPacket(const std::uint8_t* data, std::uint32_t frameCount, std::uint32_t flags) override {
    converter_.AddPacket(reinterpret_cast<const std::int16_t*>(data), frameCount, flags);
  }
  bool TakeChunk(std::vector<std::int16_t>& chunk) override { return converter_.TakeChunk(chunk); }
  void SetFormat(const SampleFormat& format) override { RequireLinearFormat(format); }
  // Each output is interpolated at its own time.
  std::uint64_t DelayHundredNanoseconds() const override { return 0; }

 private:
  StreamConverter converter_;
};

class BandLimitedPacketConverter final : public PacketConverter {
 public:
  BandLimitedPacketConverter(std::uint64_t chunkFrames, const SampleFormat& format, ChannelUse channels)
      : converter_(chunkFrames, format, channels) {}
  void AddPacket(const std::uint8_t* data, std::uint32_t frameCount, std::uint32_t flags) override {
    converter_.AddPacket(data, frameCount, flags);
  }
  bool TakeChunk(std::vector<std::int16_t>& chunk) override { return converter_.TakeChunk(chunk); }
  void SetFormat(const SampleFormat& format) override { converter_.SetFormat(format); }
  std::uint64_t DelayHundredNanoseconds() const override { return BandLimitedResampler::kDelayHundredNanoseconds; }

 private:
  BandLimitedConverter converter_;
};

}  // namespace

std::unique_ptr<PacketConverter> MakePacketConverter(Resampler resampler, std::uint64_t chunkFrames,
                                                     const SampleFormat& format, ChannelUse channels) {
  if (resampler == Resampler::BandLimited) {
    return std::make_unique<BandLimitedPacketConverter>(chunkFrames, format, channels);
  }
  RequireLinearFormat(format);
  return std::make_unique<LinearPacketConverter>(chunkFrames);
}

}  // namespace pcmtap

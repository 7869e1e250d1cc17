#include "pcmtap/downmix.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pcmtap {

namespace {

constexpr float kFront = 0.5f;
constexpr float kCentre = 0.70710678f;
constexpr float kSurround = 0.35355339f;

float WeightOf(std::uint32_t speakerBit) {
  using namespace speaker;
  switch (speakerBit) {
    case kFrontLeft:
    case kFrontRight:
    case kFrontLeftOfCenter:
    case kFrontRightOfCenter: return kFront;
    case kFrontCenter: return kCentre;
    case kLowFrequency: return 0.0f;
    default: return kSurround;
  }
}

// What one full-scale step of the encoding's integer is worth.
float FullScaleOf(SampleEncoding encoding) {
  switch (encoding) {
    case SampleEncoding::Int16: return 1.0f / 32768.0f;
    case SampleEncoding::Float32: return 1.0f;
    default: return 1.0f / 2147483648.0f;  // 24-bit samples are read into the top of 32 bits
  }
}

float ReadInt16(const std::uint8_t* at) {
  std::int16_t value;
  std::memcpy(&value, at, sizeof value);
  return static_cast<float>(value);
}

float ReadInt24Packed(const std::uint8_t* at) {
  // The three bytes as the top of a 32-bit word; the conversion to signed
  // wraps on every compiler this builds with.
  const std::uint32_t word = static_cast<std::uint32_t>(at[0]) << 8 | static_cast<std::uint32_t>(at[1]) << 16 |
                             static_cast<std::uint32_t>(at[2]) << 24;
  return static_cast<float>(static_cast<std::int32_t>(word));
}

float ReadInt32(const std::uint8_t* at) {
  std::int32_t value;
  std::memcpy(&value, at, sizeof value);
  return static_cast<float>(value);
}

float ReadFloat32(const std::uint8_t* at) {
  // A faulty device may deliver NaN or infinities: either would poison the
  // filter's history for its whole length, and a NaN has no 16-bit value.
  // The bound, 36 dB over full scale, leaves every real signal alone.
  constexpr float kBound = 64.0f;
  float value;
  std::memcpy(&value, at, sizeof value);
  return std::isnan(value) ? 0.0f : std::clamp(value, -kBound, kBound);
}

template <typename Read>
void Decode(const std::uint8_t* bytes, std::size_t count, std::size_t sampleBytes, float* samples, Read read) {
  for (std::size_t i = 0; i < count; ++i) samples[i] = read(bytes + i * sampleBytes);
}

// 16-bit stereo with both channels weighed alike, the common case: each
// frame read as one 32-bit word, which compilers vectorise far better than
// separate 16-bit reads; its halves are the two samples, in an order the sum
// does not care about. With the stereo weight, 2^-16, this is the same as
// the general path to the bit.
void MixStereo16(const std::uint8_t* frames, std::uint32_t frameCount, float weight, float* mono) {
  for (std::uint32_t i = 0; i < frameCount; ++i) {
    std::uint32_t frame;
    std::memcpy(&frame, frames + 4 * std::size_t{i}, sizeof frame);
    const std::int32_t low = static_cast<std::int32_t>(frame << 16) >> 16;
    const std::int32_t high = static_cast<std::int32_t>(frame) >> 16;
    mono[i] = static_cast<float>(low + high) * weight;
  }
}

}  // namespace

Downmix::Downmix(const SampleFormat& format, ChannelUse use)
    : encoding_(format.encoding), weights_(format.channels) {
  std::uint32_t unassigned = format.channelMask;
  for (std::size_t c = 0; c < weights_.size(); ++c) {
    // Channels take the mask's set bits in order, lowest first.
    const std::uint32_t bit = unassigned & (~unassigned + 1);
    unassigned &= ~bit;
    const float speakerWeight = format.channels == 1 ? 1.0f : WeightOf(bit);
    weights_[c] = (use == ChannelUse::First ? (c == 0 ? 1.0f : 0.0f) : speakerWeight) * FullScaleOf(encoding_);
  }
}

void Downmix::ToMono(const std::uint8_t* frames, std::uint32_t frameCount, float* mono) {
  if (encoding_ == SampleEncoding::Int16 && weights_.size() == 2 && weights_[0] == weights_[1]) {
    MixStereo16(frames, frameCount, weights_[0], mono);
    return;
  }
  // Decoding every sample first and then summing channel by channel over the
  // packet is what compilers vectorise well; each frame's sum still runs in
  // channel order.
  const std::size_t channels = weights_.size(), count = channels * frameCount;
  samples_.resize(std::max(samples_.size(), count));
  float* const samples = samples_.data();
  switch (encoding_) {
    case SampleEncoding::Int16: Decode(frames, count, 2, samples, ReadInt16); break;
    case SampleEncoding::Int24Packed: Decode(frames, count, 3, samples, ReadInt24Packed); break;
    case SampleEncoding::Int32: Decode(frames, count, 4, samples, ReadInt32); break;
    case SampleEncoding::Float32: Decode(frames, count, 4, samples, ReadFloat32); break;
  }
  for (std::uint32_t i = 0; i < frameCount; ++i) mono[i] = weights_[0] * samples[i * channels];
  for (std::size_t c = 1; c < channels; ++c) {
    const float weight = weights_[c];
    for (std::uint32_t i = 0; i < frameCount; ++i) mono[i] += weight * samples[i * channels + c];
  }
}

}  // namespace pcmtap

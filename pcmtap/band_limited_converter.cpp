#include "pcmtap/band_limited_converter.h"

#include <algorithm>

#include "pcmtap/conversion.h"

namespace pcmtap {

namespace {

constexpr std::uint32_t kSilentFlag = 0x2;

// Full scale ±1.0 to 16 bits, saturating.
std::int16_t ToInt16(float value) {
  const double scaled = std::clamp(static_cast<double>(value) * 32768.0, -32768.0, 32767.0);
  return static_cast<std::int16_t>(RoundHalfAwayFromZero(scaled));
}

}  // namespace

BandLimitedConverter::BandLimitedConverter(std::uint64_t chunkFrames, const SampleFormat& format,
                                           ChannelUse channels)
    : channels_(channels),
      downmix_(format, channels),
      resampler_(format.sampleRate),
      firstSampleWeight_(1.0f),
      pendingBegin_(0),
      outputSamples_(chunkFrames) {}

void BandLimitedConverter::AddPacket(const std::uint8_t* data, std::uint32_t frameCount, std::uint32_t flags) {
  if (frameCount == 0) {
    return;
  }
  resampled_.clear();
  if ((flags & kSilentFlag) != 0 || data == nullptr) {
    firstSampleWeight_ = 1.0f;
    resampler_.Push(nullptr, frameCount, resampled_);
  } else {
    mono_.resize(std::max<std::size_t>(mono_.size(), frameCount));
    downmix_.ToMono(data, frameCount, mono_.data());
    mono_[0] *= firstSampleWeight_;
    resampler_.Push(mono_.data(), frameCount, resampled_);
    firstSampleWeight_ = 1.0f;
  }
  Emit();
}

void BandLimitedConverter::SetFormat(const SampleFormat& format) {
  downmix_ = Downmix(format, channels_);
  const std::uint32_t oldRate = resampler_.InputRate(), newRate = format.sampleRate;
  if (newRate == oldRate) {
    return;
  }
  // The next output's place past the end of the old input, in the new
  // input's 16000ths of a sample, rounded to nearest: at most one output
  // step, oldRate 16000ths of an old sample, past it.
  const std::uint64_t offset = (std::uint64_t{resampler_.NextOutputOffset()} * newRate + oldRate / 2) / oldRate;
  BandLimitedResampler next(newRate, static_cast<std::uint32_t>(offset));

  // The old input's tail goes into the new resampler's first outputs, on top
  // of what earlier changes still add there: both start at the next output.
  resampled_.clear();
  resampler_.Flush(resampled_);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingBegin_));
  pendingBegin_ = 0;
  pending_.resize(std::max(pending_.size(), resampled_.size()), 0.0f);
  for (std::size_t i = 0; i < resampled_.size(); ++i) pending_[i] += resampled_[i];
  resampler_ = std::move(next);

  // Each filter sums its samples as if each stood for the time up to the
  // next: where the spacing changes that leaves the old stream short of half
  // an old sample's time and gives the new one half a new sample's too much
  // at the junction, which shows as a spike (0.7 % of a tone's amplitude
  // from 44.1 to 48 kHz). Weighing the new first sample by the difference
  // evens it out.
  firstSampleWeight_ = 0.5f + 0.5f * static_cast<float>(newRate) / static_cast<float>(oldRate);
}

void BandLimitedConverter::Emit() {
  std::int16_t* out = outputSamples_.Room(resampled_.size());
  for (const float value : resampled_) {
    const float pending = pendingBegin_ < pending_.size() ? pending_[pendingBegin_++] : 0.0f;
    *out++ = ToInt16(value + pending);
  }
  outputSamples_.Commit(resampled_.size());
  if (pendingBegin_ == pending_.size()) {
    pending_.clear();
    pendingBegin_ = 0;
  }
}

bool BandLimitedConverter::TakeChunk(std::vector<std::int16_t>& chunk) { return outputSamples_.TakeChunk(chunk); }

}  // namespace pcmtap

#include "pcmtap/conversion.h"

#include <algorithm>
#include <cstring>

namespace pcmtap {

namespace {

constexpr std::uint32_t kSilentFlag = 0x2;

}  // namespace

StreamConverter::StreamConverter(std::uint64_t chunkFrames)
    : chunkFrames_(chunkFrames), step_(44100.0 / 16000.0), position_(0.0), outputTaken_(0) {}

void StreamConverter::AddPacket(const std::int16_t* samples, std::uint32_t frameCount,
                                std::uint32_t flags) {
  if (frameCount == 0) {
    return;
  }
  Downmix(samples, frameCount, (flags & kSilentFlag) != 0 || samples == nullptr);
  Resample();
  Trim();
}

void StreamConverter::Downmix(const std::int16_t* samples, std::uint32_t frameCount, bool silent) {
  const std::size_t held = inputSamples_.size();
  inputSamples_.resize(held + frameCount);
  std::int16_t* out = inputSamples_.data() + held;
  if (silent) {
    std::fill(out, out + frameCount, std::int16_t{0});
    return;
  }
  for (std::uint32_t i = 0; i < frameCount; ++i) {
    const std::int32_t sum = std::int32_t{samples[2 * std::size_t{i}]} + samples[2 * std::size_t{i} + 1];
    out[i] = static_cast<std::int16_t>(sum / 2);
  }
}

void StreamConverter::Resample() {
  if (outputTaken_ != 0) {
    outputSamples_.erase(outputSamples_.begin(),
                         outputSamples_.begin() + static_cast<std::ptrdiff_t>(outputTaken_));
    outputTaken_ = 0;
  }
  const double n = static_cast<double>(inputSamples_.size());
  const std::int16_t* in = inputSamples_.data();
  double position = position_;
  while (position + 1.0 < n) {
    const std::int64_t i = static_cast<std::int64_t>(position);
    const double a = in[i];
    const double b = in[i + 1];
    const double difference = b - a;
    const double fraction = position - static_cast<double>(i);
    const double product = difference * fraction;
    const double v = product + a;
    std::int32_t rounded = static_cast<std::int32_t>(v);
    const double rest = v - rounded;
    rounded += (rest >= 0.5) - (rest <= -0.5);
    outputSamples_.push_back(static_cast<std::int16_t>(rounded));
    position += step_;
  }
  position_ = position;
}

void StreamConverter::Trim() {
  const std::uint64_t consumed = static_cast<std::uint64_t>(position_);
  if (consumed == 0) {
    return;
  }
  const std::size_t removed = static_cast<std::size_t>(std::min<std::uint64_t>(consumed, inputSamples_.size()));
  inputSamples_.erase(inputSamples_.begin(), inputSamples_.begin() + static_cast<std::ptrdiff_t>(removed));
  position_ -= static_cast<double>(removed);
}

bool StreamConverter::TakeChunk(std::vector<std::int16_t>& chunk) {
  if (outputSamples_.size() - outputTaken_ < chunkFrames_) {
    return false;
  }
  const auto first = outputSamples_.begin() + static_cast<std::ptrdiff_t>(outputTaken_);
  chunk.assign(first, first + static_cast<std::ptrdiff_t>(chunkFrames_));
  outputTaken_ += static_cast<std::size_t>(chunkFrames_);
  return true;
}

}  // namespace pcmtap

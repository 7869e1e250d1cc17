// The plainest transcription of the conversion, one output point at a time,
// with the library's floor and lround and naive array handling: the model
// that the converter tests, the converter fuzz target and the soak test
// compare StreamConverter with, sample for sample.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcmtap::testing {

struct ReferenceConverter {
  explicit ReferenceConverter(std::uint64_t frames) : chunkFrames(frames) {}
  std::uint64_t chunkFrames;
  double position = 0.0;
  std::vector<std::int16_t> input, output;
  int overruns = 0;  // trims where floor(position) exceeded the held samples

  void AddPacket(const std::int16_t* samples, std::uint32_t frames, std::uint32_t flags) {
    if (frames == 0) return;
    for (std::size_t f = 0; f < frames; ++f) {
      const bool silent = (flags & 0x2) != 0 || samples == nullptr;
      input.push_back(silent ? std::int16_t{0}
                             : static_cast<std::int16_t>((samples[2 * f] + samples[2 * f + 1]) / 2));
    }
    const double n = static_cast<double>(input.size());
    while (position + 1.0 < n) {
      const auto i = static_cast<std::uint64_t>(std::floor(position));
      const double a = input[i];
      const double b = input[i + 1];
      const double difference = b - a;
      const double fraction = position - static_cast<double>(i);
      const double product = difference * fraction;
      output.push_back(static_cast<std::int16_t>(std::lround(product + a)));
      position = position + 44100.0 / 16000.0;
    }
    const auto consumed = static_cast<std::uint64_t>(std::floor(position));
    const auto removed = std::min<std::uint64_t>(consumed, input.size());
    overruns += consumed > removed;
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(removed));
    position -= static_cast<double>(removed);
  }
  bool TakeChunk(std::vector<std::int16_t>& chunk) {
    if (output.size() < chunkFrames) return false;
    chunk.assign(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(chunkFrames));
    output.erase(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(chunkFrames));
    return true;
  }
};

}  // namespace pcmtap::testing

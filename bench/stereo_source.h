// Ten seconds of a tone under noise, 44.1 kHz interleaved stereo 16-bit: the
// benchmarks cycle it as the source of every packet, so that the input stays
// as warm in cache as a capture buffer is.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

constexpr std::size_t kSourceRate = 44100;

inline const std::vector<std::int16_t>& StereoSource() {
  static const std::vector<std::int16_t> source = [] {
    std::vector<std::int16_t> s(2 * 10 * kSourceRate);
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, 3000.0);
    for (std::size_t i = 0; i < s.size(); ++i) {
      const double tone =
          12000.0 * std::sin(2.0 * 3.14159265358979 * 440.0 * static_cast<double>(i / 2) / kSourceRate);
      s[i] = static_cast<std::int16_t>(std::clamp(tone + noise(random), -32768.0, 32767.0));
    }
    return s;
  }();
  return source;
}

// Measuring a converter with tones: the input the figures are quoted for
// (-1 dBFS, 16-bit stereo with TPDF dither), and a least-squares fit of a
// sine at a known frequency to 16-bit output. Shared by the tests and the
// resampler benchmark's quality figures.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace pcmtap {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kMinus1Dbfs = 0.8912509381337456;

// Amplitude (full scale 1.0) of the sine a sin(wn) + b cos(wn) nearest to
// the samples, and the RMS of what remains.
struct SineFit {
  double amplitude, residual;
  double Dbfs() const { return 20.0 * std::log10(amplitude); }
  double ThdPlusNoiseDb() const { return 20.0 * std::log10(residual * std::sqrt(2.0) / amplitude); }
};

inline SineFit FitSine(const std::vector<std::int16_t>& samples, std::size_t from, double frequency) {
  const double w = kTwoPi * frequency / 16000.0;
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;  // the normal equations of (sin, cos)
  for (std::size_t n = from; n < samples.size(); ++n) {
    const double s = std::sin(w * static_cast<double>(n)), c = std::cos(w * static_cast<double>(n)), x = samples[n] / 32768.0;
    ss += s * s, sc += s * c, cc += c * c, xs += x * s, xc += x * c;
  }
  const double det = ss * cc - sc * sc, a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double square = 0.0;
  for (std::size_t n = from; n < samples.size(); ++n) {
    square += std::pow(samples[n] / 32768.0 - a * std::sin(w * static_cast<double>(n)) - b * std::cos(w * static_cast<double>(n)), 2);
  }
  return {std::hypot(a, b), std::sqrt(square / static_cast<double>(samples.size() - from))};
}

// Interleaved stereo, the same tone in both channels, each with its own dither.
inline std::vector<std::int16_t> DitheredStereoTone(double frequency, double rate, std::size_t frames) {
  std::mt19937 random(frames);
  const auto uniform = [&random] { return static_cast<double>(random()) / 4294967296.0; };
  std::vector<std::int16_t> tone(2 * frames);
  for (std::size_t i = 0; i < tone.size(); ++i) {
    const double value = 32768.0 * kMinus1Dbfs * std::sin(kTwoPi * frequency * static_cast<double>(i / 2) / rate);
    tone[i] = static_cast<std::int16_t>(std::lround(value + uniform() - uniform()));
  }
  return tone;
}

}  // namespace pcmtap

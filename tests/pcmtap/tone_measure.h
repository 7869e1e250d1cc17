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

// Amplitude (full scale 1.0) of the sine a sin(wn) + b cos(wn) + c nearest to
// the samples, and the RMS of what remains.
struct SineFit {
  double amplitude, residual;
  double Dbfs() const { return 20.0 * std::log10(amplitude); }
  double ThdPlusNoiseDb() const { return 20.0 * std::log10(residual * std::sqrt(2.0) / amplitude); }
};

inline SineFit FitSine(const std::vector<std::int16_t>& samples, std::size_t from, double frequency) {
  const double w = kTwoPi * frequency / 16000.0;
  double m[3][4] = {};  // normal equations of (sin, cos, 1), the right-hand side last
  for (std::size_t n = from; n < samples.size(); ++n) {
    const double basis[3] = {std::sin(w * static_cast<double>(n)), std::cos(w * static_cast<double>(n)), 1.0};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
      m[r][3] += basis[r] * samples[n] / 32768.0;
    }
  }
  for (int p = 0; p < 3; ++p) {  // Gauss-Jordan; the matrix is positive definite
    for (int r = 0; r < 3; ++r) {
      const double factor = r == p ? 0.0 : m[r][p] / m[p][p];
      for (int c = 0; c < 4; ++c) m[r][c] -= factor * m[p][c];
    }
  }
  const double a = m[0][3] / m[0][0], b = m[1][3] / m[1][1], dc = m[2][3] / m[2][2];
  double square = 0.0;
  for (std::size_t n = from; n < samples.size(); ++n) {
    const double fit = a * std::sin(w * static_cast<double>(n)) + b * std::cos(w * static_cast<double>(n)) + dc;
    square += std::pow(samples[n] / 32768.0 - fit, 2);
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

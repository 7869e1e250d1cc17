#include "pcmtap/kaiser.h"

#include <cmath>

namespace pcmtap {

namespace {

// Kaiser's estimate: N - 1 = (A - 7.95) / (2.285 * 2 pi * width / rate), the
// rate cancelling once N - 1 taps are seen as a length in time.
constexpr double kWidthFactor = 2.285 * 2.0 * kPi;

// The modified Bessel function of the first kind, order 0, by its series.
double BesselI0(double x) {
  const double quarterSquare = x * x / 4.0;
  double term = 1.0, sum = 1.0;
  for (int k = 1; term > 1e-17 * sum; ++k) {
    term *= quarterSquare / (static_cast<double>(k) * k);
    sum += term;
  }
  return sum;
}

}  // namespace

double KaiserWindow(double x, double beta) { return BesselI0(beta * std::sqrt(1.0 - x * x)) / BesselI0(beta); }

double KaiserBeta(double attenuation) { return 0.1102 * (attenuation - 8.7); }

double KaiserAttenuation(double width, double seconds) { return 7.95 + kWidthFactor * width * seconds; }

double KaiserSeconds(double attenuation, double width) { return (attenuation - 7.95) / (kWidthFactor * width); }

}  // namespace pcmtap

// Kaiser's window and his design formulas for windowed-sinc low-pass
// filters, in the time and frequency units of the filter (seconds, hertz),
// so that a design holds at any sample rate.
#pragma once

namespace pcmtap {

constexpr double kPi = 3.14159265358979323846;

// The window at x from -1 to 1 (its edges) for shape parameter beta.
double KaiserWindow(double x, double beta);

// The beta that gives a stopband `attenuation` dB down (formula for above
// 50 dB, which every filter here is).
double KaiserBeta(double attenuation);

// A window `seconds` long with a transition `width` hertz wide reaches this
// attenuation (dB); and the other way round.
double KaiserAttenuation(double width, double seconds);
double KaiserSeconds(double attenuation, double width);

}  // namespace pcmtap

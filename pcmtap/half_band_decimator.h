// Halves a stream's rate with a half-band low-pass filter: every other tap
// is zero and the response is symmetric about a quarter of the rate, so an
// output costs half the taps, and with the input split into its even and
// odd samples the taps that remain meet one contiguous run of samples,
// along which they run as one short filter.
//
// Output k is the input filtered around input sample 2k - Centre(): the
// filter reaches from input 2k back over 2 * Centre() + 1 samples, silence
// before the start. It keeps 0 to 7.6 kHz and removes all that would fold
// into it at the halved rate, from half the input rate less 7.6 kHz up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pcmtap {

class HalfBandDecimator {
 public:
  explicit HalfBandDecimator(std::uint32_t inputRate);

  std::size_t Centre() const { return centre_; }

  // Takes `count` input samples (null: silence) and appends every output
  // whose newest input sample has arrived.
  void Push(const float* samples, std::size_t count, std::vector<float>& outputs);

 private:
  // The taps at even distances from the centre, for the even input samples,
  // oldest first, zero-padded at the old end to window_, a multiple of 4.
  // The centre tap, for an odd sample, is one half.
  std::vector<float> taps_;
  std::size_t window_;
  std::size_t centre_;
  // The input split by parity, each from the same pair index on: entry i
  // holds input samples 2 (base + i) and 2 (base + i) + 1. The next output's
  // newest even sample is at index next_. The storage only grows.
  std::vector<float> even_;
  std::vector<float> odd_;
  std::size_t evenHeld_;
  std::size_t oddHeld_;
  std::size_t next_;
};

}  // namespace pcmtap

// The resampler's inner loop: dot products of filter phases and the input
// window under them.
#pragma once

#include <cstddef>

namespace pcmtap {

// count must be a multiple of this: four accumulators of four lanes each, so
// that the additions of one block do not wait on each other.
constexpr std::size_t kDotProductBlock = 16;

// The sum of a[i] * x[i] over count values. The order of the additions is
// fixed by count alone: 16 running sums, element i going to sum i % 16, then
// combined in a fixed tree. The vector version and the portable one perform
// the same float operations in the same order, so both give the same bits,
// and neither depends on where a or x sit in memory.
float DotProduct(const float* a, const float* x, std::size_t count);

// The dot products of a with x and of b with x, each to the same bits as
// DotProduct gives, for less than the cost of two: x is read once.
void DotProductPair(const float* a, const float* b, const float* x, std::size_t count, float* sums);

// A short filter run along x: out[l] = sum of taps[q] * x[l + q] over q, for
// each of `outputs` outputs; count a multiple of 4. Each output's additions
// run in one fixed order (four running sums, tap q going to sum q % 4, then
// (0 + 1) + (2 + 3)), however many outputs a call takes, so an output has
// the same bits computed alone or among others. The vector version takes
// eight outputs at a time, one per lane, and needs no sum across lanes.
void RunFilter(const float* taps, std::size_t count, const float* x, std::size_t outputs, float* out);

}  // namespace pcmtap

// The dot products in AVX, eight lanes a register: twice the SSE2 version's
// width, the same float operations in the same order, so the same bits.
// Built with the compiler's AVX code generation, and called only where the
// processor runs AVX.
#include "pcmtap/dot_product.h"

#ifdef __AVX__
#include <immintrin.h>
#endif

namespace pcmtap {

#ifdef __AVX__

namespace {

__m256 MultiplyAdd(__m256 sum, const float* a, __m256 x) { return _mm256_add_ps(sum, _mm256_mul_ps(_mm256_loadu_ps(a), x)); }

// The sixteen running sums in two registers, 0 to 7 and 8 to 15, combined as
// SSE2 combines its four: (0-3 + 4-7) + (8-11 + 12-15), then lanes (0 + 2)
// and (1 + 3), then their sum.
float Total(__m256 low, __m256 high) {
  const __m128 sum = _mm_add_ps(_mm_add_ps(_mm256_castps256_ps128(low), _mm256_extractf128_ps(low, 1)),
                                _mm_add_ps(_mm256_castps256_ps128(high), _mm256_extractf128_ps(high, 1)));
  const __m128 pairs = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

float AvxDotProduct(const float* a, const float* x, std::size_t count) {
  __m256 low = _mm256_setzero_ps(), high = low;
  for (std::size_t i = 0; i < count; i += kDotProductBlock) {
    low = MultiplyAdd(low, a + i, _mm256_loadu_ps(x + i));
    high = MultiplyAdd(high, a + i + 8, _mm256_loadu_ps(x + i + 8));
  }
  return Total(low, high);
}

void AvxDotProductPair(const float* a, const float* b, const float* x, std::size_t count, float* sums) {
  __m256 aLow = _mm256_setzero_ps(), aHigh = aLow, bLow = aLow, bHigh = aLow;
  for (std::size_t i = 0; i < count; i += kDotProductBlock) {
    const __m256 xLow = _mm256_loadu_ps(x + i), xHigh = _mm256_loadu_ps(x + i + 8);
    aLow = MultiplyAdd(aLow, a + i, xLow);
    bLow = MultiplyAdd(bLow, b + i, xLow);
    aHigh = MultiplyAdd(aHigh, a + i + 8, xHigh);
    bHigh = MultiplyAdd(bHigh, b + i + 8, xHigh);
  }
  sums[0] = Total(aLow, aHigh);
  sums[1] = Total(bLow, bHigh);
}

// `Registers` times eight outputs, one a lane: tap q goes to running sum
// q % 4, and the sums are added (0 + 1) + (2 + 3).
template <std::size_t Registers>
void FilterBlock(const float* taps, std::size_t count, const float* x, float* out) {
  __m256 sums[Registers][4] = {};
  for (std::size_t q = 0; q < count; q += 4) {
    for (std::size_t j = 0; j < 4; ++j) {
      const __m256 tap = _mm256_set1_ps(taps[q + j]);
      for (std::size_t r = 0; r < Registers; ++r) {
        sums[r][j] = _mm256_add_ps(sums[r][j], _mm256_mul_ps(tap, _mm256_loadu_ps(x + 8 * r + q + j)));
      }
    }
  }
  for (std::size_t r = 0; r < Registers; ++r) {
    _mm256_storeu_ps(out + 8 * r, _mm256_add_ps(_mm256_add_ps(sums[r][0], sums[r][1]), _mm256_add_ps(sums[r][2], sums[r][3])));
  }
}

// Sixteen outputs a pass, then eight; the last few as the portable version
// sums them.
void AvxRunFilter(const float* taps, std::size_t count, const float* x, std::size_t outputs, float* out) {
  std::size_t l = 0;
  for (; l + 16 <= outputs; l += 16) FilterBlock<2>(taps, count, x + l, out + l);
  for (; l + 8 <= outputs; l += 8) FilterBlock<1>(taps, count, x + l, out + l);
  PortableKernels().runFilter(taps, count, x + l, outputs - l, out + l);
}

}  // namespace

const DotProductKernels* AvxKernels() {
  static const DotProductKernels kernels = {AvxDotProduct, AvxDotProductPair, AvxRunFilter};
  return &kernels;
}

#else

const DotProductKernels* AvxKernels() { return nullptr; }

#endif

}  // namespace pcmtap

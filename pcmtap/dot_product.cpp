#include "pcmtap/dot_product.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace pcmtap {

#if defined(__SSE2__) || defined(_M_X64)

namespace {

// Lanes (0 + 2) and (1 + 3) of the sum of the four accumulators, then their sum.
float Total(__m128 sum0, __m128 sum1, __m128 sum2, __m128 sum3) {
  const __m128 sum = _mm_add_ps(_mm_add_ps(sum0, sum1), _mm_add_ps(sum2, sum3));
  const __m128 pairs = _mm_add_ps(sum, _mm_movehl_ps(sum, sum));
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}

__m128 MultiplyAdd(__m128 sum, const float* a, __m128 x) { return _mm_add_ps(sum, _mm_mul_ps(_mm_loadu_ps(a), x)); }

}  // namespace

float DotProduct(const float* a, const float* x, std::size_t count) {
  __m128 sum0 = _mm_setzero_ps(), sum1 = sum0, sum2 = sum0, sum3 = sum0;
  for (std::size_t i = 0; i < count; i += kDotProductBlock) {
    sum0 = MultiplyAdd(sum0, a + i, _mm_loadu_ps(x + i));
    sum1 = MultiplyAdd(sum1, a + i + 4, _mm_loadu_ps(x + i + 4));
    sum2 = MultiplyAdd(sum2, a + i + 8, _mm_loadu_ps(x + i + 8));
    sum3 = MultiplyAdd(sum3, a + i + 12, _mm_loadu_ps(x + i + 12));
  }
  return Total(sum0, sum1, sum2, sum3);
}

void DotProductPair(const float* a, const float* b, const float* x, std::size_t count, float* sums) {
  __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, b0 = a0, b1 = a0, b2 = a0, b3 = a0;
  for (std::size_t i = 0; i < count; i += kDotProductBlock) {
    const __m128 x0 = _mm_loadu_ps(x + i), x1 = _mm_loadu_ps(x + i + 4), x2 = _mm_loadu_ps(x + i + 8),
                 x3 = _mm_loadu_ps(x + i + 12);
    a0 = MultiplyAdd(a0, a + i, x0);
    b0 = MultiplyAdd(b0, b + i, x0);
    a1 = MultiplyAdd(a1, a + i + 4, x1);
    b1 = MultiplyAdd(b1, b + i + 4, x1);
    a2 = MultiplyAdd(a2, a + i + 8, x2);
    b2 = MultiplyAdd(b2, b + i + 8, x2);
    a3 = MultiplyAdd(a3, a + i + 12, x3);
    b3 = MultiplyAdd(b3, b + i + 12, x3);
  }
  sums[0] = Total(a0, a1, a2, a3);
  sums[1] = Total(b0, b1, b2, b3);
}

#else

float DotProduct(const float* a, const float* x, std::size_t count) {
  float lanes[kDotProductBlock] = {};
  for (std::size_t i = 0; i < count; i += kDotProductBlock) {
    for (std::size_t lane = 0; lane < kDotProductBlock; ++lane) lanes[lane] += a[i + lane] * x[i + lane];
  }
  float sum[4];
  for (std::size_t lane = 0; lane < 4; ++lane) {
    sum[lane] = (lanes[lane] + lanes[lane + 4]) + (lanes[lane + 8] + lanes[lane + 12]);
  }
  return (sum[0] + sum[2]) + (sum[1] + sum[3]);
}

void DotProductPair(const float* a, const float* b, const float* x, std::size_t count, float* sums) {
  sums[0] = DotProduct(a, x, count);
  sums[1] = DotProduct(b, x, count);
}

#endif

}  // namespace pcmtap

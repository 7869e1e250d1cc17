#include "pcmtap/dot_product.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

namespace pcmtap {

namespace {

// One output of RunFilter, in its fixed order.
float FilterAt(const float* taps, std::size_t count, const float* x) {
  float sums[4] = {};
  for (std::size_t q = 0; q < count; q += 4) {
    for (std::size_t j = 0; j < 4; ++j) sums[j] += taps[q + j] * x[q + j];
  }
  return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

}  // namespace

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

void RunFilter(const float* taps, std::size_t count, const float* x, std::size_t outputs, float* out) {
  std::size_t l = 0;
  for (; l + 8 <= outputs; l += 8) {
    __m128 low[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    __m128 high[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    for (std::size_t q = 0; q < count; q += 4) {
      for (std::size_t j = 0; j < 4; ++j) {
        const __m128 tap = _mm_set1_ps(taps[q + j]);
        low[j] = _mm_add_ps(low[j], _mm_mul_ps(tap, _mm_loadu_ps(x + l + q + j)));
        high[j] = _mm_add_ps(high[j], _mm_mul_ps(tap, _mm_loadu_ps(x + l + q + j + 4)));
      }
    }
    _mm_storeu_ps(out + l, _mm_add_ps(_mm_add_ps(low[0], low[1]), _mm_add_ps(low[2], low[3])));
    _mm_storeu_ps(out + l + 4, _mm_add_ps(_mm_add_ps(high[0], high[1]), _mm_add_ps(high[2], high[3])));
  }
  for (; l < outputs; ++l) out[l] = FilterAt(taps, count, x + l);
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

void RunFilter(const float* taps, std::size_t count, const float* x, std::size_t outputs, float* out) {
  for (std::size_t l = 0; l < outputs; ++l) out[l] = FilterAt(taps, count, x + l);
}

#endif

}  // namespace pcmtap

#include "pcmtap/conversion.h"

#include <gtest/gtest.h>

namespace pcmtap {
namespace {

// Exact halves hardly ever arise from captured audio, so the rounding rule is
// pinned here rather than by the records test.
TEST(RoundHalfAwayFromZero, Halves) {
  const std::pair<double, int> cases[] = {{2.5, 3},          {-0.5, -1},      {-24780.8, -24781},
                                          {32766.5, 32767},  {-32767.5, -32768}, {0.49999999999999994, 0},
                                          {-0.49999999999999994, 0}, {1.4999999999999998, 1}};
  for (const auto& [v, expected] : cases) EXPECT_EQ(RoundHalfAwayFromZero(v), expected) << v;
}

}  // namespace
}  // namespace pcmtap

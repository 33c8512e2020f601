// The eight-lane AVX2/FMA vector functions (this program is built with
// -mavx2 -mfma; the machine running the tests has both).
#include "simd/vecmath_avx2.hpp"
using VM = Avx2;
#include "vecmath_checks.hpp"

namespace {

TEST(VecMathAvx2, ReductionConstantIsTheSumOfTheThreePartSplitsFirstTwo) {
    volatile float hi = 1.5703125f, mid = 0.000483751297f;
    EXPECT_EQ(hi + mid, 1.57079625f);
}

TEST(VecMathAvx2, ArgumentsBetweenTheTwoLimitsAreEvaluated) {
    // Only this build evaluates sine and cosine for 1e5 < |a| <= 1e7.
    for (float a : {2e5f, -3.14159e6f, 9.99e6f}) {
        EXPECT_NEAR(one(a, sin_fn), std::sin(double(a)), 1.5e-7 + 2e-11 * std::abs(a)) << a;
        EXPECT_NEAR(one(a, cos_fn), std::cos(double(a)), 1.5e-7 + 2e-11 * std::abs(a)) << a;
    }
}

}  // namespace

// The four-lane sine and cosine against the C library.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "simd/sincos_avx2.hpp"

namespace {

void sincos4(const double in[4], double s[4], double c[4]) {
    __m256d vs, vc;
    sincos_pd(_mm256_loadu_pd(in), &vs, &vc);
    _mm256_storeu_pd(s, vs);
    _mm256_storeu_pd(c, vc);
}

double ulps(double got, double want) {
    if (got == want) return 0.0;
    return std::abs(got - want) / std::abs(std::nextafter(want, INFINITY) - want);
}

// Bound: 2 ulp of the result where |result| >= 1e-3, else 2.3e-19 absolute
// (the reduction's absolute error near a zero of the function), for
// |d| <= 1e5, both signs.
TEST(VectorSinCos, AgreesWithLibraryOverASweep) {
    double worst_ulp = 0.0, worst_abs = 0.0;
    for (int n = 0; n < 400000; n += 4) {
        double in[4], s[4], c[4];
        for (int l = 0; l < 4; ++l) {
            const int k = n + l;
            const double mag = (k % 3 == 0) ? k * 2.5e-5 : (k % 3 == 1 ? k * 0.25 : std::ldexp(1.0, -(k % 60)));
            in[l] = (k % 2 ? -1.0 : 1.0) * mag;
        }
        sincos4(in, s, c);
        for (int l = 0; l < 4; ++l) {
            for (auto [got, want] : {std::pair{s[l], std::sin(in[l])}, std::pair{c[l], std::cos(in[l])}}) {
                if (std::abs(want) >= 1e-3) {
                    worst_ulp = std::max(worst_ulp, ulps(got, want));
                    ASSERT_LE(ulps(got, want), 2.0) << in[l];
                } else {
                    worst_abs = std::max(worst_abs, std::abs(got - want));
                    ASSERT_LE(std::abs(got - want), 2.3e-19 + 2.3e-16 * std::abs(want)) << in[l];
                }
            }
        }
    }
    RecordProperty("worst_ulp", std::to_string(worst_ulp));
    RecordProperty("worst_abs_near_zero", std::to_string(worst_abs));
}

TEST(VectorSinCos, QuadrantsAndSigns) {
    const double h = 1.5707963267948966;
    const double in[4] = {h, 2 * h, -3 * h, 4 * h};
    double s[4], c[4];
    sincos4(in, s, c);
    EXPECT_EQ(s[0], 1.0);
    EXPECT_NEAR(c[0], 0.0, 1e-16);
    EXPECT_NEAR(s[1], 0.0, 1e-15);
    EXPECT_EQ(c[1], -1.0);
    EXPECT_EQ(s[2], 1.0);  // sin(-3 pi/2)
    EXPECT_NEAR(c[2], 0.0, 1e-15);
    EXPECT_EQ(c[3], 1.0);
    // |d| <= pi/4 keeps quadrant 0: the polynomials of d itself.
    const double small[4] = {0.0, -0.0, 0.785, -0.5};
    sincos4(small, s, c);
    EXPECT_EQ(s[0], 0.0);
    EXPECT_TRUE(std::signbit(s[1]));
    EXPECT_EQ(c[0], 1.0);
    EXPECT_LE(ulps(s[2], std::sin(0.785)), 1.0);
    EXPECT_LE(ulps(c[3], std::cos(-0.5)), 1.0);
}

TEST(VectorSinCos, HugeArgumentsAreZeroAndNaNPropagates) {
    const double in[4] = {2e15, -1e300, std::numeric_limits<double>::quiet_NaN(), 1e15};
    double s[4], c[4];
    sincos4(in, s, c);
    EXPECT_EQ(s[0], 0.0);
    EXPECT_EQ(c[0], 1.0);
    EXPECT_EQ(std::abs(s[1]), 0.0);
    EXPECT_EQ(c[1], 1.0);
    EXPECT_TRUE(std::isnan(s[2]) && std::isnan(c[2]));
    EXPECT_TRUE(std::isfinite(s[3]) && std::abs(s[3]) <= 1.0);  // 1e15 itself is reduced
    const double inf[4] = {INFINITY, -INFINITY, 0.0, 0.0};
    sincos4(inf, s, c);
    EXPECT_EQ(s[0], 0.0);  // infinity exceeds the cut-off like any huge value
    EXPECT_EQ(c[1], 1.0);
}

}  // namespace

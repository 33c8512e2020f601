// The four-lane complex functions of the absorbing kernels against the C
// library, each over the range its comment states, with the bound it states.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

#include "cpu/dispatch.hpp"
#include "vector_probes.hpp"

namespace {

#define REQUIRE_AVX2_FMA() \
    if (!sardune::cpu_has_avx2_fma()) GTEST_SKIP() << "this processor lacks AVX2 and FMA3; the functions cannot run"

double ulps(double got, double want) {
    if (got == want) return 0.0;
    return std::abs(got - want) / std::abs(std::nextafter(want, INFINITY) - want);
}

// Against a long-double value: the error in units of the double's last place.
double ulps(double got, long double want) {
    const double w = double(want);
    return double(std::abs((long double)got - want) / std::abs(std::nextafter(w, INFINITY) - w));
}

void cosh_sinh4(const double y[4], double ch[4], double sh[4]) { probes::cosh_sinh_pd(y, ch, sh, 4); }

// 2.5 ulp of the exact values (3 of std::) over [0, 700]: tiny and subnormal arguments, the small range where
// (e - 1/e)/2 would cancel, every reduction interval up to the top.
TEST(VectorHyperbolic, CoshAndSinhWithinTheirBoundOverTheRange) {
    REQUIRE_AVX2_FMA();
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double worst = 0.0;
    for (int n = 0; n < 200000; n += 4) {
        double y[4], ch[4], sh[4];
        for (int l = 0; l < 4; ++l) {
            const int k = n + l;
            y[l] = k % 4 == 0 ? 700.0 * unit(rng)
                 : k % 4 == 1 ? unit(rng)
                 : k % 4 == 2 ? std::ldexp(unit(rng), -(k % 1070))
                              : std::ldexp(1.0, -(k % 40)) * (1.0 + 1e-3 * unit(rng));
        }
        if (n == 0) y[0] = 0.0, y[1] = 700.0, y[2] = 4.9e-324, y[3] = 0.34657359027997264;
        cosh_sinh4(y, ch, sh);
        for (int l = 0; l < 4; ++l) {
            const long double yl = y[l];
            worst = std::max({worst, ulps(ch[l], std::cosh(yl)), ulps(sh[l], std::sinh(yl))});
            ASSERT_LE(ulps(ch[l], std::cosh(y[l])), 3.0) << y[l];
            ASSERT_LE(ulps(sh[l], std::sinh(y[l])), 3.0) << y[l];
            ASSERT_LE(ulps(ch[l], std::cosh(yl)), 2.5) << y[l];
            ASSERT_LE(ulps(sh[l], std::sinh(yl)), 2.5) << y[l];
        }
    }
    RecordProperty("worst_ulp", std::to_string(worst));
}

using Probe = void (*)(const double*, double*, size_t);
void four(Probe f, const std::complex<double> in[4], std::complex<double> out[4]) {
    f(reinterpret_cast<const double*>(in), reinterpret_cast<double*>(out), 4);
}

// 4 ulp for each part (the small part relative to itself) for |w|^2 in
// [1e-290, 1e300], every quadrant, and weak absorption next to a large
// real part on both sides of the branch cut.
TEST(VectorSquareRoot, BothPartsWithinFourUlpOverTheRange) {
    REQUIRE_AVX2_FMA();
    std::mt19937_64 rng(6);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    double worst = 0.0;
    for (int n = 0; n < 200000; n += 4) {
        std::complex<double> w[4], q[4];
        for (int l = 0; l < 4; ++l) {
            const int k = n + l;
            const double big = std::copysign(std::ldexp(0.5 + 0.5 * std::abs(unit(rng)), int(k % 960) - 480), unit(rng));
            const double small = big * std::ldexp(unit(rng), -int(k % 60));
            w[l] = k % 2 ? std::complex<double>(big, small) : std::complex<double>(small, big);
        }
        four(probes::csqrt_pd, w, q);
        for (int l = 0; l < 4; ++l) {
            const std::complex<double> want = std::sqrt(w[l]);
            worst = std::max({worst, ulps(q[l].real(), want.real()), ulps(q[l].imag(), want.imag())});
            ASSERT_LE(ulps(q[l].real(), want.real()), 4.0) << w[l];
            ASSERT_LE(ulps(q[l].imag(), want.imag()), 4.0) << w[l];
        }
    }
    RecordProperty("worst_ulp", std::to_string(worst));
}

TEST(VectorSquareRoot, SignOfAZeroImaginaryPartPicksTheBranch) {
    REQUIRE_AVX2_FMA();
    const std::complex<double> w[4] = {{-4.0, 0.0}, {-4.0, -0.0}, {4.0, -0.0}, {0.25, 0.0}};
    std::complex<double> q[4];
    four(probes::csqrt_pd, w, q);
    for (int l = 0; l < 4; ++l) {
        const std::complex<double> want = std::sqrt(w[l]);
        EXPECT_EQ(q[l].real(), want.real()) << l;
        EXPECT_EQ(q[l].imag(), want.imag()) << l;
        EXPECT_EQ(std::signbit(q[l].imag()), std::signbit(want.imag())) << l;
    }
}

// A few ulp of |1/z| for max(|Re z|, |Im z|) in [1e-300, 1e300], where
// |z|^2 alone would overflow or underflow.
TEST(VectorReciprocal, AccurateWhereTheSquaredNormWouldNotBe) {
    REQUIRE_AVX2_FMA();
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int n = 0; n < 40000; n += 4) {
        std::complex<double> z[4], r[4];
        for (int l = 0; l < 4; ++l) {
            const double m = std::ldexp(1.0, int((n + l) % 1990) - 995);
            z[l] = std::complex<double>(m * unit(rng), m * unit(rng) * std::ldexp(1.0, -((n + l) % 30)));
            if (std::max(std::abs(z[l].real()), std::abs(z[l].imag())) < 1e-300) z[l] = 1e-300;
        }
        four(probes::reciprocal_pd, z, r);
        for (int l = 0; l < 4; ++l) {
            const std::complex<long double> want = 1.0L / std::complex<long double>(z[l]);
            ASSERT_LE(std::abs(std::complex<long double>(r[l]) - want) / std::abs(want), 8e-16L) << z[l];
        }
    }
}

}  // namespace

// The vector elementary functions against the double-precision library, each
// swept over its documented range with an explicit bound: the single-precision
// set of the thin-slab kernel in its SSE2 and AVX2 builds, and the four-lane
// double sine and cosine of the real-index kernel. The documented limits are
// written here as the values the functions promise, never read from the
// implementation.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <string>
#include <vector>

#include "cpu/dispatch.hpp"
#include "vector_probes.hpp"

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// One build with the argument limit of its sine and cosine, as documented:
// beyond it the argument is taken as 0.
struct Build {
    const probes::SinglePrecision* set;
    float sincos_limit;
};

void PrintTo(const Build& b, std::ostream* os) { *os << b.set->name; }

class SinglePrecision : public ::testing::TestWithParam<Build> {
protected:
    void SetUp() override {
        if (GetParam().set->needs_avx2_fma && !sardune::cpu_has_avx2_fma())
            GTEST_SKIP() << "this processor lacks AVX2 and FMA3; the " << GetParam().set->name << " build cannot run";
    }
    const probes::SinglePrecision& f() const { return *GetParam().set; }
    float limit() const { return GetParam().sincos_limit; }

    using Unary = void (*)(const float*, float*, size_t);
    static std::vector<float> apply(Unary fn, const std::vector<float>& in) {
        std::vector<float> out(in.size());
        fn(in.data(), out.data(), in.size());
        return out;
    }
    static float one(Unary fn, float y) { return apply(fn, {y})[0]; }
    float sin1(float a) const {
        float s, c;
        f().sincos(&a, &s, &c, 1);
        return s;
    }
    float cos1(float a) const {
        float s, c;
        f().sincos(&a, &s, &c, 1);
        return c;
    }
};

std::vector<float> range(double lo, double hi, int count) {
    std::vector<float> v;
    for (int k = 0; k <= count; ++k) v.push_back(float(lo + (hi - lo) * k / count));
    return v;
}

double worst_relative(const std::vector<float>& x, const std::vector<float>& got, double (*ref)(double)) {
    double worst = 0;
    for (size_t k = 0; k < x.size(); ++k) {
        const double want = ref(x[k]), e = std::abs(got[k] - want) / std::abs(want);
        if (!(e <= worst)) worst = e;
    }
    return worst;
}

double half_exp_ref(double y) { return std::exp(y) / 2; }
double cosh_ref(double y) { return std::cosh(y); }
double sinh_ref(double y) { return std::sinh(y); }

TEST_P(SinglePrecision, HalfExponentialAndHyperbolicsOverTheirRange) {
    const std::vector<float> y = range(0.0, 88.9, 400000);
    EXPECT_LE(worst_relative(y, apply(f().half_exp, y), half_exp_ref), 3e-7);
    EXPECT_LE(worst_relative(y, apply(f().cosh, y), cosh_ref), 3e-7);
    std::vector<float> s = range(-88.9, 88.9, 400000);
    for (float v : range(-1.2, 1.2, 20000)) s.push_back(v);  // the polynomial and its seam
    s.push_back(1e-30f), s.push_back(-1e-20f), s.push_back(1.0f), s.push_back(std::nextafter(1.0f, 2.0f));
    EXPECT_LE(worst_relative(s, apply(f().sinh, s), sinh_ref), 4e-7);
}

TEST_P(SinglePrecision, HyperbolicSpecialValues) {
    EXPECT_EQ(one(f().cosh, 0.0f), 1.0f);
    EXPECT_EQ(one(f().sinh, 0.0f), 0.0f);
    EXPECT_TRUE(std::signbit(one(f().sinh, -0.0f)));
    EXPECT_EQ(one(f().sinh, -0.5f), -one(f().sinh, 0.5f));
    EXPECT_EQ(one(f().sinh, -30.0f), -one(f().sinh, 30.0f));
    EXPECT_TRUE(std::isfinite(one(f().half_exp, 88.9f)));
    EXPECT_EQ(one(f().half_exp, 89.0f), kInf);  // the limit, not the overflow point
    EXPECT_EQ(one(f().half_exp, kInf), kInf);
    EXPECT_EQ(one(f().cosh, 89.0f), kInf);
    EXPECT_EQ(one(f().sinh, -89.0f), -kInf);
    EXPECT_TRUE(std::isnan(one(f().half_exp, kNaN)));
    EXPECT_TRUE(std::isnan(one(f().cosh, kNaN)));
    EXPECT_TRUE(std::isnan(one(f().sinh, kNaN)));
    // Lanes do not influence each other: one special lane leaves the rest alone.
    std::vector<float> mixed = {0.5f, kNaN, 3.0f, 100.0f, 0.25f, 2.0f, 1.0f, 50.0f};
    mixed.resize(size_t(f().lanes));
    const std::vector<float> got = apply(f().sinh, mixed);
    for (size_t k = 0; k < mixed.size(); ++k) {
        const float alone = one(f().sinh, mixed[k]);
        if (std::isnan(alone))
            EXPECT_TRUE(std::isnan(got[k]));
        else
            EXPECT_EQ(got[k], alone) << mixed[k];
    }
}

TEST_P(SinglePrecision, SineAndCosineWithinTheLimit) {
    // small and moderate arguments: absolute error close to float rounding
    std::vector<float> a = range(-120.0, 120.0, 400000);
    std::vector<float> s(a.size()), c(a.size());
    f().sincos(a.data(), s.data(), c.data(), a.size());
    double worst = 0;
    for (size_t k = 0; k < a.size(); ++k)
        worst = std::max({worst, std::abs(s[k] - std::sin(double(a[k]))), std::abs(c[k] - std::cos(double(a[k])))});
    EXPECT_LE(worst, 1.5e-7);
    // up to the documented limit the reduction error grows with |a|
    a = range(-double(limit()), double(limit()), 200000);
    s.resize(a.size()), c.resize(a.size());
    f().sincos(a.data(), s.data(), c.data(), a.size());
    for (size_t k = 0; k < a.size(); ++k) {
        const double bound = 1.5e-7 + 2e-11 * std::abs(a[k]);
        ASSERT_LE(std::abs(s[k] - std::sin(double(a[k]))), bound) << a[k];
        ASSERT_LE(std::abs(c[k] - std::cos(double(a[k]))), bound) << a[k];
    }
    // quadrant boundaries: no jump beyond rounding
    for (int q = -6; q <= 6; ++q) {
        const float mid = float(0.7853981633974483 + q * 1.5707963267948966);
        float x = std::nextafter(mid, -kInf);
        for (int k = 0; k < 4; ++k, x = std::nextafter(x, kInf)) {
            EXPECT_NEAR(sin1(x), std::sin(double(x)), 1.5e-7);
            EXPECT_NEAR(cos1(x), std::cos(double(x)), 1.5e-7);
        }
    }
    EXPECT_EQ(sin1(0.0f), 0.0f);
    EXPECT_TRUE(std::signbit(sin1(-0.0f)));
    EXPECT_EQ(cos1(0.0f), 1.0f);
}

// Just below the documented limit the functions are still evaluated; just
// above it the argument counts as 0.
TEST_P(SinglePrecision, SineAndCosineAtTheDocumentedLimit) {
    for (float a : {0.5f * limit(), -0.77f * limit(), limit()}) {
        EXPECT_NEAR(sin1(a), std::sin(double(a)), 1.5e-7 + 2e-11 * std::abs(a)) << a;
        EXPECT_NEAR(cos1(a), std::cos(double(a)), 1.5e-7 + 2e-11 * std::abs(a)) << a;
    }
    for (float a : {std::nextafter(limit(), kInf), limit() * 1.01f, 3e7f, 1e30f, kInf}) {
        EXPECT_EQ(sin1(a), 0.0f) << a;
        EXPECT_FALSE(std::signbit(sin1(a)));
        EXPECT_TRUE(std::signbit(sin1(-a)));
        EXPECT_EQ(cos1(a), 1.0f) << a;
        EXPECT_EQ(cos1(-a), 1.0f);
    }
    EXPECT_TRUE(std::isnan(sin1(kNaN)));
    EXPECT_TRUE(std::isnan(cos1(kNaN)));
}

TEST_P(SinglePrecision, ComplexSquareRoot) {
    std::vector<float> u, v;
    for (double a = -50; a <= 50; a += 0.37)
        for (double b = -50; b <= 50; b += 0.41) u.push_back(float(a)), v.push_back(float(b));
    std::vector<float> re(u.size()), im(u.size());
    f().csqrt(u.data(), v.data(), re.data(), im.data(), u.size());
    for (size_t k = 0; k < u.size(); ++k) {
        const std::complex<double> z(u[k], v[k]), want = std::sqrt(z), got(re[k], im[k]);
        ASSERT_LE(std::abs(got - want), 4e-7 * std::abs(want)) << u[k] << " " << v[k];
    }
    // Each part to a few ulp of itself: a small imaginary part next to a
    // large real one (weak absorption) and the mirror case, and magnitudes
    // whose squares underflow or overflow in single precision.
    std::vector<float> pu, pv;
    for (float large : {4.0f, 2.25f, 1e-30f, 3e-39f, 1e30f})
        for (float ratio : {1.0f, 1e-2f, 1e-4f, 1e-7f, 1e-12f})
            for (float sign : {1.0f, -1.0f}) {
                pu.push_back(sign * large), pv.push_back(large * ratio);
                pu.push_back(large * ratio), pv.push_back(-sign * large);
            }
    std::vector<float> pr(pu.size()), pi(pu.size());
    f().csqrt(pu.data(), pv.data(), pr.data(), pi.data(), pu.size());
    for (size_t k = 0; k < pu.size(); ++k) {
        const std::complex<double> want = std::sqrt(std::complex<double>(pu[k], pv[k]));
        EXPECT_LE(std::abs(pr[k] - want.real()), 5e-7 * std::abs(want.real())) << pu[k] << " " << pv[k];
        EXPECT_LE(std::abs(pi[k] - want.imag()), 5e-7 * std::abs(want.imag())) << pu[k] << " " << pv[k];
    }
    const std::vector<float> su = {-4.0f, -4.0f, 0.0f, 4.0f, kNaN, 1.0f}, sv = {0.0f, -0.0f, 0.0f, 0.0f, 1.0f, kNaN};
    std::vector<float> sr(su.size()), si(su.size());
    f().csqrt(su.data(), sv.data(), sr.data(), si.data(), su.size());
    EXPECT_EQ(sr[0], 0.0f);
    EXPECT_EQ(si[0], 2.0f);
    EXPECT_EQ(sr[1], 0.0f);
    EXPECT_EQ(si[1], -2.0f);
    EXPECT_EQ(sr[2], 0.0f);
    EXPECT_EQ(si[2], 0.0f);
    EXPECT_EQ(sr[3], 2.0f);
    EXPECT_EQ(si[3], 0.0f);
    EXPECT_TRUE(std::isnan(sr[4]) && std::isnan(si[4]));
    EXPECT_TRUE(std::isnan(sr[5]) && std::isnan(si[5]));
}

TEST_P(SinglePrecision, RoundingToNearestEvenKeepsHugeValues) {
    const std::vector<float> in = {2.5f, -3.5f, 3e9f, -1e20f, 0.5f, 1.5f};
    const std::vector<float> out = apply(f().round, in);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], -4.0f);
    EXPECT_EQ(out[2], 3e9f);  // the SSE2 build's integer conversion overflows here
    EXPECT_EQ(out[3], -1e20f);
    EXPECT_EQ(out[4], 0.0f);
    EXPECT_EQ(out[5], 2.0f);
}

INSTANTIATE_TEST_SUITE_P(Builds, SinglePrecision,
                         ::testing::Values(Build{&probes::sse2, 1e5f}, Build{&probes::avx2, 1e7f}),
                         [](const ::testing::TestParamInfo<Build>& info) { return std::string(info.param.set->name); });

TEST(SinglePrecisionAvx2, ReductionConstantIsTheSumOfTheThreePartSplitsFirstTwo) {
    volatile float hi = 1.5703125f, mid = 0.000483751297f;
    EXPECT_EQ(hi + mid, 1.57079625f);
}

// ---- the four-lane double-precision sine and cosine

class FourLaneSinCos : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sardune::cpu_has_avx2_fma()) GTEST_SKIP() << "this processor lacks AVX2 and FMA3";
    }
    static void sincos(const std::vector<double>& in, std::vector<double>& s, std::vector<double>& c) {
        s.resize(in.size()), c.resize(in.size());
        probes::sincos_pd(in.data(), s.data(), c.data(), in.size());
    }
};

double ulps(double got, double want) {
    if (got == want) return 0.0;
    return std::abs(got - want) / std::abs(std::nextafter(want, INFINITY) - want);
}

// Bound: 2 ulp of the result where |result| >= 1e-3, else 2.3e-19 absolute
// (the reduction's absolute error near a zero of the function), for
// |d| <= 1e5, both signs.
TEST_F(FourLaneSinCos, AgreesWithLibraryOverASweep) {
    std::vector<double> in;
    for (int k = 0; k < 400000; ++k) {
        const double mag = (k % 3 == 0) ? k * 2.5e-5 : (k % 3 == 1 ? k * 0.25 : std::ldexp(1.0, -(k % 60)));
        in.push_back((k % 2 ? -1.0 : 1.0) * mag);
    }
    std::vector<double> s, c;
    sincos(in, s, c);
    double worst_ulp = 0.0, worst_abs = 0.0;
    for (size_t k = 0; k < in.size(); ++k)
        for (auto [got, want] : {std::pair{s[k], std::sin(in[k])}, std::pair{c[k], std::cos(in[k])}}) {
            if (std::abs(want) >= 1e-3) {
                worst_ulp = std::max(worst_ulp, ulps(got, want));
                ASSERT_LE(ulps(got, want), 2.0) << in[k];
            } else {
                worst_abs = std::max(worst_abs, std::abs(got - want));
                ASSERT_LE(std::abs(got - want), 2.3e-19 + 2.3e-16 * std::abs(want)) << in[k];
            }
        }
    RecordProperty("worst_ulp", std::to_string(worst_ulp));
    RecordProperty("worst_abs_near_zero", std::to_string(worst_abs));
}

TEST_F(FourLaneSinCos, QuadrantsAndSigns) {
    const double h = 1.5707963267948966;
    std::vector<double> s, c;
    sincos({h, 2 * h, -3 * h, 4 * h}, s, c);
    EXPECT_EQ(s[0], 1.0);
    EXPECT_NEAR(c[0], 0.0, 1e-16);
    EXPECT_NEAR(s[1], 0.0, 1e-15);
    EXPECT_EQ(c[1], -1.0);
    EXPECT_EQ(s[2], 1.0);  // sin(-3 pi/2)
    EXPECT_NEAR(c[2], 0.0, 1e-15);
    EXPECT_EQ(c[3], 1.0);
    // |d| <= pi/4 keeps quadrant 0: the polynomials of d itself.
    sincos({0.0, -0.0, 0.785, -0.5}, s, c);
    EXPECT_EQ(s[0], 0.0);
    EXPECT_TRUE(std::signbit(s[1]));
    EXPECT_EQ(c[0], 1.0);
    EXPECT_LE(ulps(s[2], std::sin(0.785)), 1.0);
    EXPECT_LE(ulps(c[3], std::cos(-0.5)), 1.0);
}

// Beyond 1e5 the two-constant reduction loses accuracy slowly (absolute
// error below 1e-15 up to the cut-off), but every argument up to 1e15 is
// reduced; above it the argument counts as 0 (sine 0, cosine 1).
TEST_F(FourLaneSinCos, ArgumentsUpToTheCutOffAreReduced) {
    std::vector<double> in;
    for (double mag = 1e5; mag <= 1e15; mag *= 1.0471285480508996)  // 50 per decade
        in.push_back(mag), in.push_back(-mag * 0.999);
    in.push_back(1e15);
    std::vector<double> s, c;
    sincos(in, s, c);
    double worst = 0.0;
    for (size_t k = 0; k < in.size(); ++k) {
        worst = std::max({worst, std::abs(s[k] - std::sin(in[k])), std::abs(c[k] - std::cos(in[k]))});
        ASSERT_NEAR(s[k], std::sin(in[k]), 1e-15) << in[k];
        ASSERT_NEAR(c[k], std::cos(in[k]), 1e-15) << in[k];
    }
    RecordProperty("worst_abs", std::to_string(worst));
}

TEST_F(FourLaneSinCos, HugeArgumentsAreZeroAndNonFiniteOnesNaN) {
    std::vector<double> s, c;
    sincos({std::nextafter(1e15, INFINITY), 2e15, -1e300, std::numeric_limits<double>::quiet_NaN(), INFINITY,
            -INFINITY},
           s, c);
    for (int k : {0, 1}) {
        EXPECT_EQ(s[k], 0.0);
        EXPECT_EQ(c[k], 1.0);
    }
    EXPECT_EQ(std::abs(s[2]), 0.0);
    EXPECT_EQ(c[2], 1.0);
    // The C library's answers: sin and cos of NaN and of an infinity are NaN.
    for (int k : {3, 4, 5}) EXPECT_TRUE(std::isnan(s[k]) && std::isnan(c[k])) << k;
}

}  // namespace

// Checks of the single-precision vector functions, shared by the SSE2 and the
// AVX2 test programs: define VM as the ISA layer (Sse2 or Avx2) and include
// this after the matching vecmath header. Each function is swept against the
// double-precision library function with an explicit bound.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <vector>

namespace {

using F = VM::F;
constexpr int W = VM::W;
constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Applies fn block by block to values (padded with the last value).
template <class Fn>
std::vector<float> apply(std::vector<float> in, Fn fn) {
    size_t n = in.size();
    while (in.size() % W) in.push_back(in.back());
    std::vector<float> out(in.size());
    for (size_t k = 0; k < in.size(); k += W) VM::storef(&out[k], fn(VM::loadf(&in[k])));
    out.resize(n);
    return out;
}
std::vector<float> range(double lo, double hi, int count) {
    std::vector<float> v;
    for (int k = 0; k <= count; ++k) v.push_back(float(lo + (hi - lo) * k / count));
    return v;
}
float one(float y, F (*fn)(F)) { return apply({y}, fn)[0]; }

F h_fn(F y) { return half_exp<VM>(y); }
F cosh_fn(F y) { return vcosh<VM>(y); }
F sinh_fn(F y) { return vsinh<VM>(y); }
F sin_fn(F a) {
    F s, c;
    vsincos<VM>(a, s, c);
    return s;
}
F cos_fn(F a) {
    F s, c;
    vsincos<VM>(a, s, c);
    return c;
}

double worst_relative(const std::vector<float>& x, const std::vector<float>& got, double (*ref)(double)) {
    double worst = 0;
    for (size_t k = 0; k < x.size(); ++k) {
        double want = ref(x[k]), e = std::abs(got[k] - want) / std::abs(want);
        if (!(e <= worst)) worst = e;
    }
    return worst;
}

double half_exp_ref(double y) { return std::exp(y) / 2; }

TEST(VecMath, HalfExponentialAndHyperbolicsOverTheirRange) {
    std::vector<float> y = range(0.0, 88.9, 400000);
    EXPECT_LE(worst_relative(y, apply(y, h_fn), half_exp_ref), 3e-7);
    EXPECT_LE(worst_relative(y, apply(y, cosh_fn), [](double v) { return std::cosh(v); }), 3e-7);
    std::vector<float> s = range(-88.9, 88.9, 400000);
    for (float v : range(-1.2, 1.2, 20000)) s.push_back(v);  // the polynomial and its seam
    s.push_back(1e-30f), s.push_back(-1e-20f), s.push_back(1.0f), s.push_back(std::nextafter(1.0f, 2.0f));
    EXPECT_LE(worst_relative(s, apply(s, sinh_fn), [](double v) { return std::sinh(v); }), 4e-7);
}

TEST(VecMath, HyperbolicSpecialValues) {
    EXPECT_EQ(one(0.0f, cosh_fn), 1.0f);
    EXPECT_EQ(one(0.0f, sinh_fn), 0.0f);
    EXPECT_TRUE(std::signbit(one(-0.0f, sinh_fn)));
    EXPECT_EQ(one(-0.5f, sinh_fn), -one(0.5f, sinh_fn));
    EXPECT_EQ(one(-30.0f, sinh_fn), -one(30.0f, sinh_fn));
    EXPECT_TRUE(std::isfinite(one(88.9f, h_fn)));
    EXPECT_EQ(one(89.0f, h_fn), kInf);  // the limit, not the overflow point
    EXPECT_EQ(one(kInf, h_fn), kInf);
    EXPECT_EQ(one(89.0f, cosh_fn), kInf);
    EXPECT_EQ(one(-89.0f, sinh_fn), -kInf);
    EXPECT_TRUE(std::isnan(one(kNaN, h_fn)));
    EXPECT_TRUE(std::isnan(one(kNaN, cosh_fn)));
    EXPECT_TRUE(std::isnan(one(kNaN, sinh_fn)));
    // Lanes do not influence each other: one special lane leaves the rest alone.
    std::vector<float> mixed = {0.5f, kNaN, 3.0f, 100.0f, 0.25f, 2.0f, 1.0f, 50.0f};
    mixed.resize(W);
    std::vector<float> got = apply(mixed, sinh_fn);
    for (int k = 0; k < W; ++k) {
        float alone = one(mixed[k], sinh_fn);
        if (std::isnan(alone))
            EXPECT_TRUE(std::isnan(got[k]));
        else
            EXPECT_EQ(got[k], alone) << mixed[k];
    }
}

TEST(VecMath, SineAndCosineWithinTheLimit) {
    // small and moderate arguments: absolute error close to float rounding
    std::vector<float> a = range(-120.0, 120.0, 400000);
    std::vector<float> s = apply(a, sin_fn), c = apply(a, cos_fn);
    double worst = 0;
    for (size_t k = 0; k < a.size(); ++k)
        worst = std::max({worst, std::abs(s[k] - std::sin(double(a[k]))), std::abs(c[k] - std::cos(double(a[k])))});
    EXPECT_LE(worst, 1.5e-7);
    // up to the limit the reduction error grows with |a|
    a = range(-double(VM::kSinCosLimit), double(VM::kSinCosLimit), 200000);
    s = apply(a, sin_fn), c = apply(a, cos_fn);
    for (size_t k = 0; k < a.size(); ++k) {
        double bound = 1.5e-7 + 2e-11 * std::abs(a[k]);
        ASSERT_LE(std::abs(s[k] - std::sin(double(a[k]))), bound) << a[k];
        ASSERT_LE(std::abs(c[k] - std::cos(double(a[k]))), bound) << a[k];
    }
    // quadrant boundaries: no jump beyond rounding
    for (int q = -6; q <= 6; ++q) {
        float mid = float(0.7853981633974483 + q * 1.5707963267948966);
        for (float x = std::nextafter(mid, -kInf), k = 0; k < 4; ++k, x = std::nextafter(x, kInf)) {
            EXPECT_NEAR(one(x, sin_fn), std::sin(double(x)), 1.5e-7);
            EXPECT_NEAR(one(x, cos_fn), std::cos(double(x)), 1.5e-7);
        }
    }
    EXPECT_EQ(one(0.0f, sin_fn), 0.0f);
    EXPECT_TRUE(std::signbit(one(-0.0f, sin_fn)));
    EXPECT_EQ(one(0.0f, cos_fn), 1.0f);
}

TEST(VecMath, SineAndCosineBeyondTheLimit) {
    for (float a : {VM::kSinCosLimit * 1.01f, 3e7f, 1e30f, kInf}) {
        EXPECT_EQ(one(a, sin_fn), 0.0f);
        EXPECT_FALSE(std::signbit(one(a, sin_fn)));
        EXPECT_TRUE(std::signbit(one(-a, sin_fn)));
        EXPECT_EQ(one(a, cos_fn), 1.0f);
        EXPECT_EQ(one(-a, cos_fn), 1.0f);
    }
    // the limit itself is still evaluated
    float L = VM::kSinCosLimit;
    EXPECT_NEAR(one(L, sin_fn), std::sin(double(L)), 1.5e-7 + 2e-11 * L);
    EXPECT_TRUE(std::isnan(one(kNaN, sin_fn)));
    EXPECT_TRUE(std::isnan(one(kNaN, cos_fn)));
}

// ---- complex square root

struct Roots {
    std::vector<float> re, im;
};
Roots roots(std::vector<float> u, std::vector<float> v) {
    while (u.size() % W) u.push_back(u.back()), v.push_back(v.back());
    Roots r{std::vector<float>(u.size()), std::vector<float>(u.size())};
    for (size_t k = 0; k < u.size(); k += W) {
        CV<VM> z = {VM::loadf(&u[k]), VM::loadf(&v[k])};
        CV<VM> q = csqrt<VM>(z);
        VM::storef(&r.re[k], q.re), VM::storef(&r.im[k], q.im);
    }
    return r;
}

TEST(VecMath, ComplexSquareRoot) {
    std::vector<float> u, v;
    for (double a = -50; a <= 50; a += 0.37)
        for (double b = -50; b <= 50; b += 0.41) u.push_back(float(a)), v.push_back(float(b));
    Roots r = roots(u, v);
    for (size_t k = 0; k < u.size(); ++k) {
        std::complex<double> z(u[k], v[k]), want = std::sqrt(z), got(r.re[k], r.im[k]);
        // The unscaled formula resolves a part that is small next to |sqrt z|
        // (Im z small against Re z) only to about sqrt(eps |z|).
        double bound = 4e-7 * std::abs(want) + 0.5 * std::sqrt(2.4e-7 * std::abs(z));
        ASSERT_LE(std::abs(got - want), bound) << u[k] << " " << v[k];
        if (std::abs(v[k]) >= std::abs(u[k])) {
            ASSERT_LE(std::abs(got - want), 4e-7 * std::abs(want)) << u[k] << " " << v[k];
        }
    }
    Roots s = roots({-4.0f, -4.0f, 0.0f, 4.0f, kNaN, 1.0f}, {0.0f, -0.0f, 0.0f, 0.0f, 1.0f, kNaN});
    EXPECT_EQ(s.re[0], 0.0f);
    EXPECT_EQ(s.im[0], 2.0f);
    EXPECT_EQ(s.re[1], 0.0f);
    EXPECT_EQ(s.im[1], -2.0f);
    EXPECT_EQ(s.re[2], 0.0f);
    EXPECT_EQ(s.im[2], 0.0f);
    EXPECT_EQ(s.re[3], 2.0f);
    EXPECT_EQ(s.im[3], 0.0f);
    EXPECT_TRUE(std::isnan(s.re[4]) && std::isnan(s.im[4]));
    EXPECT_TRUE(std::isnan(s.re[5]) && std::isnan(s.im[5]));
}

}  // namespace

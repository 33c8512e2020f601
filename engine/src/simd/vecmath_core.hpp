// Single-precision vector elementary functions and complex arithmetic, written
// once over an ISA layer V (Sse2: 4 lanes, separately rounded; Avx2: 8 lanes,
// fused multiply-add). Include through vecmath_sse2.hpp or vecmath_avx2.hpp.
// Every function works lane by lane and has internal linkage.
#pragma once

namespace {

// A complex vector: W complex values, real and imaginary parts in two registers.
template <class V>
struct CV {
    typename V::F re, im;
};

template <class V> inline typename V::F sign_bits(typename V::F a) { return V::and_(a, V::set1(-0.0f)); }
template <class V> inline typename V::F vabs(typename V::F a) { return V::andnot(V::set1(-0.0f), a); }

// ---- complex arithmetic (textbook product; quotient by the conjugate over
// |w|^2 without scaling)

template <class V> inline CV<V> cadd(CV<V> a, CV<V> b) { return {V::add(a.re, b.re), V::add(a.im, b.im)}; }
template <class V> inline CV<V> csub(CV<V> a, CV<V> b) { return {V::sub(a.re, b.re), V::sub(a.im, b.im)}; }
template <class V> inline CV<V> cneg(CV<V> a) {
    return {V::xor_(a.re, V::set1(-0.0f)), V::xor_(a.im, V::set1(-0.0f))};
}
template <class V> inline CV<V> mul_i(CV<V> a) { return {V::xor_(a.im, V::set1(-0.0f)), a.re}; }
template <class V> inline CV<V> cscale(CV<V> a, typename V::F s) { return {V::mul(a.re, s), V::mul(a.im, s)}; }
template <class V> inline CV<V> cmul(CV<V> a, CV<V> b) {
    return {V::msub(a.re, b.re, V::mul(a.im, b.im)), V::madd(a.re, b.im, V::mul(a.im, b.re))};
}
// a*b + c: the AVX build folds the sum into the product's fused operations.
template <class V> inline CV<V> cmuladd(CV<V> a, CV<V> b, CV<V> c) {
    if constexpr (V::kFused)
        return {V::madd(a.re, b.re, V::nmadd(a.im, b.im, c.re)),
                V::madd(a.re, b.im, V::madd(a.im, b.re, c.im))};
    else
        return cadd(cmul(a, b), c);
}
// a*b + c*d, the entry of a 2x2 matrix product.
template <class V> inline CV<V> cdot2(CV<V> a, CV<V> b, CV<V> c, CV<V> d) {
    return cmuladd(c, d, cmul(a, b));
}
template <class V> inline CV<V> cdiv(CV<V> p, CV<V> w) {
    typename V::F n = V::madd(w.re, w.re, V::mul(w.im, w.im));
    return {V::div(V::madd(p.re, w.re, V::mul(p.im, w.im)), n),
            V::div(V::msub(p.im, w.re, V::mul(p.re, w.im)), n)};
}

// Principal complex square root of z = u + iv. The larger part is
// t = sqrt((|z| + |u|) / 2), which cancels nothing; the other is |v| / (2t),
// so that a small imaginary part next to a large real one (a weakly
// absorbing material) keeps its relative accuracy. |z| is formed from the
// parts divided by the larger of them, so no square underflows or
// overflows. The imaginary part carries the sign bit of v, so -4 - 0i gives
// 0 - 2i; z = 0 gives z itself.
template <class V> inline CV<V> csqrt(CV<V> z) {
    using F = typename V::F;
    const F a = vabs<V>(z.re), b = vabs<V>(z.im);
    const F s = V::select(V::gt(a, b), a, b);
    const F ra = V::div(a, s), rb = V::div(b, s);
    // Where s is 0 or infinite the quotients are NaN and |z| is s itself.
    const F zero = V::le(s, V::zero());
    const F plain = V::or_(zero, V::gt(s, V::set1(3.40282347e38f)));
    const F m = V::select(plain, s, V::mul(s, V::sqrt(V::madd(ra, ra, V::mul(rb, rb)))));
    const F t = V::sqrt(V::mul(V::add(m, a), V::set1(0.5f)));
    const F w = V::select(zero, b, V::div(b, V::add(t, t)));
    const F left = V::lt(z.re, V::zero());
    return {V::select(left, w, t), V::or_(V::select(left, t, w), sign_bits<V>(z.im))};
}

// Half exponential e^y / 2 for y >= 0, relative error a few ulp up to y < 89.
// |y| >= 89 and infinities give +inf (although e^89/2 is still a float), NaN
// gives NaN.
template <class V> inline typename V::F half_exp(typename V::F y) {
    using F = typename V::F;
    F r = V::round(V::mul(y, V::set1(1.44269502f)));
    F x = V::madd(r, V::set1(0.000212194442f), V::nmadd(r, V::set1(0.693359375f), y));
    F x2 = V::mul(x, x), x4 = V::mul(x2, x2);
    // e^x - 1 - x to degree 7
    F p5 = V::madd(x, V::set1(0.00833333377f), V::set1(0.0416666679f));
    F p3 = V::madd(x, V::set1(0.166666672f), V::set1(0.5f));
    F p7 = V::madd(x, V::set1(0.000198412701f), V::set1(0.00138888892f));
    F p = V::madd(p7, x4, V::madd(p5, x2, p3));
    F z = V::madd(p, x2, x);
    // 2^(r-1) from the exponent field: r - 1 + 2^23 + 127 holds the biased
    // exponent in its low mantissa bits.
    F biased = V::add(V::sub(r, V::set1(1.0f)), V::set1(8388735.0f));
    F scale = V::as_f(V::template ishl<23>(V::as_i(biased)));
    F h = V::mul(V::add(z, V::set1(1.0f)), scale);
    F normal = V::lt(vabs<V>(y), V::set1(89.0f));
    if (V::all(normal)) return h;
    F special = V::select(V::isnan(y), y, V::set1(__builtin_inff()));
    return V::select(normal, h, special);
}

// cosh from h = half_exp(|y|); relative error a few ulp for |y| < 89.
template <class V> inline typename V::F cosh_from_h(typename V::F h) {
    return V::add(h, V::div(V::set1(0.25f), h));
}

// sinh(v) given s = |v| and h = half_exp(s) (h is read only where s > 1 or
// s is NaN). Relative error a few ulp for |v| < 89; odd in v.
template <class V> inline typename V::F sinh_from_h(typename V::F v, typename V::F s,
                                                      typename V::F h) {
    using F = typename V::F;
    F small = V::le(s, V::set1(1.0f));  // NaN takes the exponential form
    F res = V::zero();
    bool some_small = V::any(small), all_small = V::all(small);
    if (some_small) {
        F s2 = V::mul(s, s), s4 = V::mul(s2, s2);
        F c = V::madd(s4, V::set1(0.000203721909f), V::madd(s2, V::set1(0.00833028369f), V::set1(0.166667163f)));
        res = V::madd(V::mul(s, s2), c, s);
    }
    if (!all_small) {
        F e = V::sub(h, V::div(V::set1(0.25f), h));
        res = some_small ? V::select(small, res, e) : e;
    }
    return V::or_(res, sign_bits<V>(v));
}

// Hyperbolic cosine and sine on their own, for |y| < 89 (beyond: +-inf).
template <class V> inline typename V::F vcosh(typename V::F y) {
    return cosh_from_h<V>(half_exp<V>(vabs<V>(y)));
}
template <class V> inline typename V::F vsinh(typename V::F v) {
    typename V::F s = vabs<V>(v);
    typename V::F h = V::all(V::le(s, V::set1(1.0f))) ? V::set1(1.0f) : half_exp<V>(s);
    return sinh_from_h<V>(v, s, h);
}

// Joint sine and cosine. Absolute error below 1.5e-7 + 2e-11 |a| (near
// float rounding up to |a| ~ 1e4 with SSE2, ~ 1e6 with AVX2); |a| above
// V::kSinCosLimit (1e5 with SSE2, 1e7 with AVX2) is taken as 0: sine +-0
// with the sign of a, cosine 1. NaN gives NaN.
template <class V> inline void vsincos(typename V::F a, typename V::F& sin_out, typename V::F& cos_out) {
    using F = typename V::F;
    using I = typename V::I;
    F xa = vabs<V>(a);
    xa = V::select(V::gt(xa, V::set1(V::kSinCosLimit)), V::zero(), xa);
    F q = V::round(V::mul(xa, V::set1(0.636619747f)));
    I Q = V::to_int(q);
    F x = V::reduce_half_pi(xa, q);  // |x| <= pi/4
    F x2 = V::mul(x, x), x4 = V::mul(x2, x2);
    F ps = V::madd(x4, V::set1(-0.000195152956f), V::madd(x2, V::set1(0.00833216123f), V::set1(-0.166666552f)));
    F s = V::madd(V::mul(x, x2), ps, x);
    F pc = V::madd(x4, V::set1(0.0000244331568f), V::madd(x2, V::set1(-0.00138873165f), V::set1(0.0416666456f)));
    F c = V::madd(x4, pc, V::nmadd(V::set1(0.5f), x2, V::set1(1.0f)));
    // Odd quadrants swap the polynomials; bit 1 of Q (and of Q + 1) flips signs.
    I one = V::iset1(1), two = V::iset1(2);
    F swap = V::as_f(V::ieq(V::iand(Q, one), one));
    F sn = V::select(swap, c, s), cs = V::select(swap, s, c);
    F sin_sign = V::xor_(sign_bits<V>(a), V::as_f(V::template ishl<30>(V::iand(Q, two))));
    F cos_sign = V::as_f(V::template ishl<30>(V::iand(V::iadd(Q, one), two)));
    sin_out = V::xor_(sn, sin_sign);
    cos_out = V::xor_(cs, cos_sign);
}

}  // namespace

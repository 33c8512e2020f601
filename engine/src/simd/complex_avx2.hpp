// Four complex doubles in split form for the AVX2 units: a vector of real
// parts and a vector of imaginary parts, lane l belonging to one wavelength.
// Loads deinterleave std::complex rows, stores interleave them again; the
// arithmetic fuses wherever a product meets a sum. Internal linkage only:
// include this from *_avx2.cpp files (and their tests), nowhere else.
#pragma once

#if !defined(__AVX2__) || !defined(__FMA__)
#error "complex_avx2.hpp needs -mavx2 -mfma"
#endif

#include <immintrin.h>

#include <cstdint>

namespace {

struct C4 {
    __m256d re, im;
};

inline __m256d abs_pd(__m256d a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
inline __m256d negate_pd(__m256d a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }

// ---- memory: four consecutive complex values (re, im pairs) at p

inline C4 load4(const double* p) {
    const __m256d lo = _mm256_loadu_pd(p), hi = _mm256_loadu_pd(p + 4);
    return {_mm256_permute4x64_pd(_mm256_unpacklo_pd(lo, hi), 0xD8),
            _mm256_permute4x64_pd(_mm256_unpackhi_pd(lo, hi), 0xD8)};
}

inline void store4(double* p, C4 z) {
    const __m256d lo = _mm256_unpacklo_pd(z.re, z.im), hi = _mm256_unpackhi_pd(z.re, z.im);
    _mm256_storeu_pd(p, _mm256_permute2f128_pd(lo, hi, 0x20));
    _mm256_storeu_pd(p + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
}

// A block of `count` (1 to 4) wavelengths: a short block reads only its own
// elements and fills the lanes beyond with its last value, so that the
// padding computes like a real wavelength; it writes only its own elements.
inline C4 load_block(const double* p, int count) {
    if (count == 4) return load4(p);
    double local[8];
    for (int l = 0; l < 4; ++l) {
        const int from = l < count ? l : count - 1;
        local[2 * l] = p[2 * from], local[2 * l + 1] = p[2 * from + 1];
    }
    return load4(local);
}

inline __m256d load_block_real(const double* p, int count) {
    if (count == 4) return _mm256_loadu_pd(p);
    double local[4];
    for (int l = 0; l < 4; ++l) local[l] = p[l < count ? l : count - 1];
    return _mm256_loadu_pd(local);
}

inline void store_block(double* p, int count, C4 z) {
    if (count == 4) return store4(p, z);
    double local[8];
    store4(local, z);
    for (int e = 0; e < 2 * count; ++e) p[e] = local[e];
}

// Four complex values at p, which must be 16-byte aligned, by non-temporal
// stores: they go to memory without first reading the lines they fill. The
// caller issues _mm_sfence() before anything else may read them.
inline void stream4(double* p, C4 z) {
    const __m256d even = _mm256_unpacklo_pd(z.re, z.im), odd = _mm256_unpackhi_pd(z.re, z.im);
    _mm_stream_pd(p, _mm256_castpd256_pd128(even));
    _mm_stream_pd(p + 2, _mm256_castpd256_pd128(odd));
    _mm_stream_pd(p + 4, _mm256_extractf128_pd(even, 1));
    _mm_stream_pd(p + 6, _mm256_extractf128_pd(odd, 1));
}

// ---- arithmetic

inline C4 cadd(C4 a, C4 b) { return {_mm256_add_pd(a.re, b.re), _mm256_add_pd(a.im, b.im)}; }
inline C4 cneg(C4 a) { return {negate_pd(a.re), negate_pd(a.im)}; }
inline C4 cscale(C4 a, __m256d s) { return {_mm256_mul_pd(a.re, s), _mm256_mul_pd(a.im, s)}; }
// i z
inline C4 times_i(C4 z) { return {negate_pd(z.im), z.re}; }

inline C4 cmul(C4 a, C4 b) {
    return {_mm256_fmsub_pd(a.re, b.re, _mm256_mul_pd(a.im, b.im)),
            _mm256_fmadd_pd(a.re, b.im, _mm256_mul_pd(a.im, b.re))};
}

// a b + c, the sum folded into both parts' fused operations.
inline C4 cmuladd(C4 a, C4 b, C4 c) {
    return {_mm256_fmadd_pd(a.re, b.re, _mm256_fnmadd_pd(a.im, b.im, c.re)),
            _mm256_fmadd_pd(a.re, b.im, _mm256_fmadd_pd(a.im, b.re, c.im))};
}

// a b + c d, an entry of a 2x2 matrix product.
inline C4 cdot2(C4 a, C4 b, C4 c, C4 d) { return cmuladd(a, b, cmul(c, d)); }

inline __m256d norm2(C4 z) { return _mm256_fmadd_pd(z.re, z.re, _mm256_mul_pd(z.im, z.im)); }

// 1/z for finite z with max(|Re z|, |Im z|) in [1e-300, 1e300]: z is first
// scaled by the power of two that brings its larger part into [1, 2), so
// that |z|^2 can neither overflow nor underflow. A few ulp.
inline C4 reciprocal(C4 z) {
    const __m256d m = _mm256_max_pd(abs_pd(z.re), abs_pd(z.im));
    const __m256i exponent = _mm256_srli_epi64(_mm256_castpd_si256(m), 52);
    const __m256d s =
        _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_sub_epi64(_mm256_set1_epi64x(2046), exponent), 52));
    const C4 w = cscale(z, s);
    const __m256d f = _mm256_div_pd(s, norm2(w));
    return {_mm256_mul_pd(w.re, f), negate_pd(_mm256_mul_pd(w.im, f))};
}

// ---- elementary functions

// Lanes: four complex doubles w. Principal square root with a non-negative
// real part, the imaginary part taking the sign of Im w (also of a zero: the
// sign of a zero imaginary part picks the branch, sqrt(-4 - 0i) = -2i).
// The large part comes from t = sqrt((|w| + |Re w|)/2), the small one as
// Im w/(2t), so a tiny imaginary part next to a large real part keeps its
// relative accuracy. Both parts within 4 ulp of std::sqrt, the small one
// relative to itself; valid for |w|^2 in [1e-290, 1e300] (callers send
// other lanes elsewhere).
inline C4 csqrt(C4 w) {
    const __m256d m = _mm256_sqrt_pd(norm2(w));
    const __m256d t = _mm256_sqrt_pd(_mm256_mul_pd(_mm256_set1_pd(0.5), _mm256_add_pd(m, abs_pd(w.re))));
    const __m256d small = _mm256_div_pd(_mm256_mul_pd(_mm256_set1_pd(0.5), w.im), t);
    const __m256d right_half = _mm256_cmp_pd(w.re, _mm256_setzero_pd(), _CMP_GE_OQ);
    const __m256d sign_im = _mm256_and_pd(w.im, _mm256_set1_pd(-0.0));
    return {_mm256_blendv_pd(abs_pd(small), t, right_half),
            _mm256_blendv_pd(_mm256_or_pd(t, sign_im), small, right_half)};
}

// Lanes: four doubles y with 0 <= y <= 700. Returns cosh y and sinh y, each
// within 2.5 ulp of the exact value (3 ulp of std::cosh and std::sinh; sinh
// also for tiny and subnormal y), from one exponential: e^y = 2^k e^r with |r| <= ln2/2 and
// e^r - 1 by its Taylor polynomial to degree 13 (truncation 1e-17
// relative); sinh y = ((e^y - 1) + (e^y - 1)/e^y)/2 adds two terms of one
// sign, so there is no cancellation for small y.
inline void cosh_sinh(__m256d y, __m256d* cosh_out, __m256d* sinh_out) {
    const __m256d k = _mm256_round_pd(_mm256_mul_pd(y, _mm256_set1_pd(1.4426950408889634)),
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256d r = _mm256_fnmadd_pd(k, _mm256_set1_pd(0.6931471805599453), y);
    r = _mm256_fnmadd_pd(k, _mm256_set1_pd(2.3190468138462996e-17), r);

    // e^r - 1 = r + r^2 P(r), P(r) = 1/2! + r/3! + ... + r^11/13!.
    const __m256d r2 = _mm256_mul_pd(r, r), r4 = _mm256_mul_pd(r2, r2);
    const auto pair = [r](double c0, double c1) {
        return _mm256_fmadd_pd(_mm256_set1_pd(c1), r, _mm256_set1_pd(c0));
    };
    __m256d hi = _mm256_fmadd_pd(pair(2.08767569878681e-09, 1.6059043836821613e-10), r2,
                                 pair(2.755731922398589e-07, 2.505210838544172e-08));
    hi = _mm256_fmadd_pd(hi, r2, pair(2.48015873015873e-05, 2.7557319223985893e-06));
    __m256d lo = _mm256_fmadd_pd(pair(0.041666666666666664, 0.008333333333333333), r2,
                                 pair(0.5, 0.16666666666666666));
    lo = _mm256_fmadd_pd(pair(0.001388888888888889, 0.0001984126984126984), r4, lo);
    const __m256d P = _mm256_fmadd_pd(hi, _mm256_mul_pd(r4, r2), lo);
    const __m256d u = _mm256_fmadd_pd(r2, P, r);

    // 2^k from the exponent field: k + 1023 + 2^52 holds it in its low bits.
    const __m256i biased = _mm256_castpd_si256(_mm256_add_pd(k, _mm256_set1_pd(4503599627371519.0)));
    const __m256d scale = _mm256_castsi256_pd(_mm256_slli_epi64(biased, 52));
    const __m256d e = _mm256_fmadd_pd(scale, u, scale);
    const __m256d em1 = _mm256_fmadd_pd(scale, u, _mm256_sub_pd(scale, _mm256_set1_pd(1.0)));
    const __m256d inv = _mm256_div_pd(_mm256_set1_pd(1.0), e);
    *cosh_out = _mm256_mul_pd(_mm256_set1_pd(0.5), _mm256_add_pd(e, inv));
    *sinh_out = _mm256_mul_pd(_mm256_set1_pd(0.5), _mm256_fmadd_pd(em1, inv, em1));
}

}  // namespace

// Four-lane single-precision layer for the thin-slab kernel: 128-bit SSE2
// registers, every operation rounded on its own (no fused multiply-add).
// Everything has internal linkage.
#pragma once

#include <emmintrin.h>

namespace {

struct Sse2 {
    using F = __m128;   // 4 floats, one wavelength per lane
    using I = __m128i;  // 4 int32
    static constexpr int W = 4;
    static constexpr bool kFused = false;
    // Beyond this |a| sine and cosine treat the argument as 0.
    static constexpr float kSinCosLimit = 1e5f;

    static F set1(float a) { return _mm_set1_ps(a); }
    static F zero() { return _mm_setzero_ps(); }
    static F add(F a, F b) { return _mm_add_ps(a, b); }
    static F sub(F a, F b) { return _mm_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm_mul_ps(a, b); }
    static F div(F a, F b) { return _mm_div_ps(a, b); }
    static F sqrt(F a) { return _mm_sqrt_ps(a); }
    // a*b + c, a*b - c, c - a*b: two roundings each.
    static F madd(F a, F b, F c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static F msub(F a, F b, F c) { return _mm_sub_ps(_mm_mul_ps(a, b), c); }
    static F nmadd(F a, F b, F c) { return _mm_sub_ps(c, _mm_mul_ps(a, b)); }

    static F and_(F a, F b) { return _mm_and_ps(a, b); }
    static F or_(F a, F b) { return _mm_or_ps(a, b); }
    static F xor_(F a, F b) { return _mm_xor_ps(a, b); }
    static F andnot(F a, F b) { return _mm_andnot_ps(a, b); }  // ~a & b
    static F lt(F a, F b) { return _mm_cmplt_ps(a, b); }
    static F le(F a, F b) { return _mm_cmple_ps(a, b); }
    static F gt(F a, F b) { return _mm_cmpgt_ps(a, b); }
    static F isnan(F a) { return _mm_cmpunord_ps(a, a); }
    static F select(F m, F a, F b) { return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b)); }
    static bool all(F m) { return _mm_movemask_ps(m) == 0xF; }
    static bool any(F m) { return _mm_movemask_ps(m) != 0; }

    static I iset1(int a) { return _mm_set1_epi32(a); }
    static I iand(I a, I b) { return _mm_and_si128(a, b); }
    static I iadd(I a, I b) { return _mm_add_epi32(a, b); }
    static I ieq(I a, I b) { return _mm_cmpeq_epi32(a, b); }
    template <int k> static I ishl(I a) { return _mm_slli_epi32(a, k); }
    static F as_f(I a) { return _mm_castsi128_ps(a); }
    static I as_i(F a) { return _mm_castps_si128(a); }

    // Nearest integer, ties to even, through the integer conversion; where
    // it overflows (0x80000000) the input is kept as it is.
    static F round(F x) {
        I i = _mm_cvtps_epi32(x);
        F r = _mm_cvtepi32_ps(i);
        return select(as_f(ieq(i, iset1(int(0x80000000u)))), x, r);
    }
    // An integral value (or NaN, giving 0x80000000) as int32.
    static I to_int(F q) { return _mm_cvtps_epi32(q); }

    // xa - q*pi/2 with pi/2 split in three parts, each step rounded.
    static F reduce_half_pi(F xa, F q) {
        F x = sub(xa, mul(q, set1(1.5703125f)));
        x = sub(x, mul(q, set1(0.000483751297f)));
        return sub(x, mul(q, set1(0.0000000754979013f)));
    }

    // Loads W complex doubles (re, im pairs) and rounds them to floats.
    static void load_c(const double* p, F& re, F& im) {
        F lo = _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(p)), _mm_cvtpd_ps(_mm_loadu_pd(p + 2)));
        F hi = _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(p + 4)), _mm_cvtpd_ps(_mm_loadu_pd(p + 6)));
        re = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
        im = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
    }
    static F load_r(const double* p) {
        return _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(p)), _mm_cvtpd_ps(_mm_loadu_pd(p + 2)));
    }
    // Widens W complex floats to doubles and stores them interleaved.
    static void store_c(double* p, F re, F im) {
        F lo = _mm_unpacklo_ps(re, im), hi = _mm_unpackhi_ps(re, im);
        _mm_storeu_pd(p, _mm_cvtps_pd(lo));
        _mm_storeu_pd(p + 2, _mm_cvtps_pd(_mm_movehl_ps(lo, lo)));
        _mm_storeu_pd(p + 4, _mm_cvtps_pd(hi));
        _mm_storeu_pd(p + 6, _mm_cvtps_pd(_mm_movehl_ps(hi, hi)));
    }
    static F loadf(const float* p) { return _mm_loadu_ps(p); }
    static void storef(float* p, F a) { _mm_storeu_ps(p, a); }
};

}  // namespace

#include "vecmath_core.hpp"

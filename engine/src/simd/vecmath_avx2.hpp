// Eight-lane single-precision layer for the thin-slab kernel: 256-bit AVX2
// registers with fused multiply-add wherever a product meets a sum. Only for
// units compiled with -mavx2 -mfma; everything has internal linkage.
#pragma once

#if !defined(__AVX2__) || !defined(__FMA__)
#error "vecmath_avx2.hpp needs -mavx2 -mfma"
#endif

#include <immintrin.h>

namespace {

struct Avx2 {
    using F = __m256;   // 8 floats, one wavelength per lane
    using I = __m256i;  // 8 int32
    static constexpr int W = 8;
    static constexpr bool kFused = true;
    // Beyond this |a| sine and cosine treat the argument as 0.
    static constexpr float kSinCosLimit = 1e7f;

    static F set1(float a) { return _mm256_set1_ps(a); }
    static F zero() { return _mm256_setzero_ps(); }
    static F add(F a, F b) { return _mm256_add_ps(a, b); }
    static F sub(F a, F b) { return _mm256_sub_ps(a, b); }
    static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
    static F div(F a, F b) { return _mm256_div_ps(a, b); }
    static F sqrt(F a) { return _mm256_sqrt_ps(a); }
    // a*b + c, a*b - c, c - a*b: one rounding each.
    static F madd(F a, F b, F c) { return _mm256_fmadd_ps(a, b, c); }
    static F msub(F a, F b, F c) { return _mm256_fmsub_ps(a, b, c); }
    static F nmadd(F a, F b, F c) { return _mm256_fnmadd_ps(a, b, c); }

    static F and_(F a, F b) { return _mm256_and_ps(a, b); }
    static F or_(F a, F b) { return _mm256_or_ps(a, b); }
    static F xor_(F a, F b) { return _mm256_xor_ps(a, b); }
    static F andnot(F a, F b) { return _mm256_andnot_ps(a, b); }  // ~a & b
    static F lt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static F le(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
    static F gt(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static F isnan(F a) { return _mm256_cmp_ps(a, a, _CMP_UNORD_Q); }
    static F select(F m, F a, F b) { return _mm256_blendv_ps(b, a, m); }
    static bool all(F m) { return _mm256_movemask_ps(m) == 0xFF; }
    static bool any(F m) { return _mm256_movemask_ps(m) != 0; }

    static I iset1(int a) { return _mm256_set1_epi32(a); }
    static I iand(I a, I b) { return _mm256_and_si256(a, b); }
    static I iadd(I a, I b) { return _mm256_add_epi32(a, b); }
    static I ieq(I a, I b) { return _mm256_cmpeq_epi32(a, b); }
    template <int k> static I ishl(I a) { return _mm256_slli_epi32(a, k); }
    static F as_f(I a) { return _mm256_castsi256_ps(a); }
    static I as_i(F a) { return _mm256_castps_si256(a); }

    // Nearest integer, ties to even, by the rounding instruction.
    static F round(F x) { return _mm256_round_ps(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    // An integral value (or NaN, giving 0x80000000) as int32.
    static I to_int(F q) { return _mm256_cvtps_epi32(q); }

    // xa - q*pi/2 with pi/2 split in two parts (the first is the sum of the
    // SSE2 build's first two), each step one fused multiply-add.
    static F reduce_half_pi(F xa, F q) {
        F x = _mm256_fnmadd_ps(q, set1(1.57079625f), xa);
        return _mm256_fnmadd_ps(q, set1(0.0000000754979013f), x);
    }

    // Loads W complex doubles (re, im pairs) and rounds them to floats.
    static void load_c(const double* p, F& re, F& im) {
        F a = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(p + 4)),
                              _mm256_cvtpd_ps(_mm256_loadu_pd(p)));
        F b = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(p + 12)),
                              _mm256_cvtpd_ps(_mm256_loadu_pd(p + 8)));
        // Within each 128-bit half the shuffle yields lanes 0 1 4 5 | 2 3 6 7.
        F r = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
        F i = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
        re = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(r), _MM_SHUFFLE(3, 1, 2, 0)));
        im = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(i), _MM_SHUFFLE(3, 1, 2, 0)));
    }
    static F load_r(const double* p) {
        return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_loadu_pd(p + 4)),
                               _mm256_cvtpd_ps(_mm256_loadu_pd(p)));
    }
    // Widens W complex floats to doubles and stores them interleaved.
    static void store_c(double* p, F re, F im) {
        F lo = _mm256_unpacklo_ps(re, im);  // values 0 1 | 4 5
        F hi = _mm256_unpackhi_ps(re, im);  // values 2 3 | 6 7
        _mm256_storeu_pd(p, _mm256_cvtps_pd(_mm256_castps256_ps128(lo)));
        _mm256_storeu_pd(p + 4, _mm256_cvtps_pd(_mm256_castps256_ps128(hi)));
        _mm256_storeu_pd(p + 8, _mm256_cvtps_pd(_mm256_extractf128_ps(lo, 1)));
        _mm256_storeu_pd(p + 12, _mm256_cvtps_pd(_mm256_extractf128_ps(hi, 1)));
    }
    static F loadf(const float* p) { return _mm256_loadu_ps(p); }
    static void storef(float* p, F a) { _mm256_storeu_ps(p, a); }
};

}  // namespace

#include "vecmath_core.hpp"

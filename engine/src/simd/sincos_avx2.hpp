// Sine and cosine of four doubles for the AVX2 units. Internal linkage only:
// include this from *_avx2.cpp files (and their tests), nowhere else.
#pragma once

#include <immintrin.h>

namespace {

// Lanes: four doubles. Both results within 2 ulp of the C library's sine and
// cosine for |d| up to 1e5 (near a zero of the function: an absolute error
// of a few 1e-19); the two-constant reduction by pi/2 loses accuracy slowly
// for larger arguments. A finite |d| > 1e15 is taken as 0 (sine 0, cosine
// 1); an infinity or NaN gives NaN, as the C library's functions do.
// Polynomials on [-pi/4, pi/4] with the classic double-precision minimax
// coefficients.
inline void sincos_pd(__m256d d, __m256d* sin_out, __m256d* cos_out) {
    const __m256d sign_bit = _mm256_set1_pd(-0.0);
    __m256d alpha = _mm256_andnot_pd(sign_bit, d);
    // An infinity (above the largest double) stays, and its reduction below,
    // inf - inf, is NaN.
    const __m256d huge = _mm256_and_pd(_mm256_cmp_pd(alpha, _mm256_set1_pd(1e15), _CMP_GT_OQ),
                                       _mm256_cmp_pd(alpha, _mm256_set1_pd(1.7976931348623157e308), _CMP_LE_OQ));
    alpha = _mm256_andnot_pd(huge, alpha);

    // Quadrant count, nearest with ties to even; q < 2^52, so its integer
    // value is the low mantissa of q + 2^52.
    const __m256d q = _mm256_round_pd(_mm256_mul_pd(alpha, _mm256_set1_pd(0.6366197723675814)),
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256i iq = _mm256_castpd_si256(_mm256_add_pd(q, _mm256_set1_pd(4503599627370496.0)));

    __m256d rho = _mm256_fmadd_pd(q, _mm256_set1_pd(-1.5707963267948966), alpha);
    rho = _mm256_fmadd_pd(q, _mm256_set1_pd(-6.123233995736766e-17), rho);
    const __m256d z = _mm256_mul_pd(rho, rho), z2 = _mm256_mul_pd(z, z), z4 = _mm256_mul_pd(z2, z2);

    // S(z) = (S1 + S2 z) + z2 (S3 + S4 z) + z4 (S5 + S6 z); sin = rho + rho^3 S.
    __m256d s = _mm256_fmadd_pd(_mm256_set1_pd(0.008333333333322118), z, _mm256_set1_pd(-0.1666666666666663));
    s = _mm256_fmadd_pd(z2,
                        _mm256_fmadd_pd(_mm256_set1_pd(2.7557313621385722e-06), z,
                                        _mm256_set1_pd(-0.0001984126982958954)),
                        s);
    s = _mm256_fmadd_pd(z4,
                        _mm256_fmadd_pd(_mm256_set1_pd(1.5896230157654656e-10), z,
                                        _mm256_set1_pd(-2.5050747762857807e-08)),
                        s);
    const __m256d ps = _mm256_fmadd_pd(_mm256_mul_pd(rho, z), s, rho);

    // C(z) likewise; cos = 1 - z/2 + z^2 C.
    __m256d c = _mm256_fmadd_pd(_mm256_set1_pd(-0.0013888888888873056), z, _mm256_set1_pd(0.041666666666666595));
    c = _mm256_fmadd_pd(z2,
                        _mm256_fmadd_pd(_mm256_set1_pd(-2.755731417929674e-07), z,
                                        _mm256_set1_pd(2.4801587288851704e-05)),
                        c);
    c = _mm256_fmadd_pd(z4,
                        _mm256_fmadd_pd(_mm256_set1_pd(-1.1358536521387682e-11), z,
                                        _mm256_set1_pd(2.087570084197473e-09)),
                        c);
    const __m256d pc = _mm256_fmadd_pd(z2, c, _mm256_fmadd_pd(_mm256_set1_pd(-0.5), z, _mm256_set1_pd(1.0)));

    // Odd quadrants swap the polynomials (the blend reads bit 0 moved to the sign).
    const __m256d odd = _mm256_castsi256_pd(_mm256_slli_epi64(iq, 63));
    __m256d sine = _mm256_blendv_pd(ps, pc, odd);
    __m256d cosine = _mm256_blendv_pd(pc, ps, odd);

    // Sine negative when bit 1 of iq differs from the sign of d; cosine
    // negative when bit 1 of iq + 1 is set.
    const __m256d sin_flip =
        _mm256_xor_pd(_mm256_and_pd(_mm256_castsi256_pd(_mm256_slli_epi64(iq, 62)), sign_bit),
                      _mm256_and_pd(d, sign_bit));
    const __m256d cos_flip = _mm256_and_pd(
        _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_add_epi64(iq, _mm256_set1_epi64x(1)), 62)), sign_bit);
    *sin_out = _mm256_xor_pd(sine, sin_flip);
    *cos_out = _mm256_xor_pd(cosine, cos_flip);
}

}  // namespace

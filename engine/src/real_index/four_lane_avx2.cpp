// Real-index coefficients four wavelengths at a time (AVX2 with FMA). Lane l
// of every vector belongs to wavelength b0 + l of the current block; the
// matrix algebra is the four-real form of the scalar path, and so are the
// two sweeps of the derivatives (going up, M_j = L_j ... L_0, L_j and
// kappa_j A_j are kept per layer; coming down, the product S_k of the layers
// above k gives dM/dd_k = S_k (kappa_k A_k) M_k).
//
// Contraction, applied throughout: where a product meets a sum it is fused
// into it, fma(x, y, s); where two products meet, the first is fused and the
// second rounded, x*y + z*w = fma(x, y, z*w); sums of two computed terms are
// plain additions. Every expression keeps the left-to-right order in which
// the algorithm states it.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/scratch.hpp"
#include "real_index/real_index.hpp"
#include "simd/sincos_avx2.hpp"

namespace sardune::real_index {

namespace {

struct Cvec {
    __m256d re, im;
};

// The parts of a complex value, read without calling into the library type.
inline const double* parts(const cplx& z) { return reinterpret_cast<const double*>(&z); }

// Real parts of row[i .. i+3].
inline __m256d load_real(const cplx* row, int64_t i) {
    const double* p = reinterpret_cast<const double*>(row) + 2 * i;
    const __m256d lo = _mm256_loadu_pd(p), hi = _mm256_loadu_pd(p + 4);
    return _mm256_permute4x64_pd(_mm256_unpacklo_pd(lo, hi), 0xD8);
}

inline Cvec load_complex(const cplx* row, int64_t i) {
    const double* p = reinterpret_cast<const double*>(row) + 2 * i;
    const __m256d lo = _mm256_loadu_pd(p), hi = _mm256_loadu_pd(p + 4);
    return {_mm256_permute4x64_pd(_mm256_unpacklo_pd(lo, hi), 0xD8),
            _mm256_permute4x64_pd(_mm256_unpackhi_pd(lo, hi), 0xD8)};
}

// Which lanes of a block are stored: all, or for a range shorter than a
// block (whose block starts below it) those from `first` on, as masks over
// the interleaved doubles of lanes 0-1 and of lanes 2-3.
struct Stored {
    bool all;
    __m256i low, high;
};

inline Stored lanes_from(int first) {
    const __m256i lane = _mm256_set_epi64x(1, 1, 0, 0), below = _mm256_set1_epi64x(first - 1);
    return {first == 0, _mm256_cmpgt_epi64(lane, below),
            _mm256_cmpgt_epi64(_mm256_add_epi64(lane, _mm256_set1_epi64x(2)), below)};
}

inline void store_complex(cplx* row, int64_t i, Cvec z, const Stored& stored, bool streaming = false) {
    double* p = reinterpret_cast<double*>(row) + 2 * i;
    const __m256d lo = _mm256_unpacklo_pd(z.re, z.im), hi = _mm256_unpackhi_pd(z.re, z.im);
    const __m256d low = _mm256_permute2f128_pd(lo, hi, 0x20), high = _mm256_permute2f128_pd(lo, hi, 0x31);
    if (streaming && stored.all) {
        _mm256_stream_pd(p, low);
        _mm256_stream_pd(p + 4, high);
    } else if (stored.all) {
        _mm256_storeu_pd(p, low);
        _mm256_storeu_pd(p + 4, high);
    } else {
        _mm256_maskstore_pd(p, stored.low, low);
        _mm256_maskstore_pd(p + 4, stored.high, high);
    }
}

// The rows of N lie far apart, in the same few cache sets when N is a power
// of two, so the hardware neither keeps their lines nor runs ahead along
// them: a block asks for the lines of a layer a few layers before it
// reaches them.
constexpr int ahead = 4;

// Both ends of row[i .. i+3], which may straddle two cache lines.
inline void prefetch_block(const cplx* row, int64_t i) {
    const char* p = reinterpret_cast<const char*>(row + i);
    _mm_prefetch(p, _MM_HINT_T0);
    _mm_prefetch(p + 4 * sizeof(cplx) - 1, _MM_HINT_T0);
}

inline Cvec cmul(Cvec x, Cvec y) {
    return {_mm256_fmsub_pd(x.re, y.re, _mm256_mul_pd(x.im, y.im)),
            _mm256_fmadd_pd(x.re, y.im, _mm256_mul_pd(x.im, y.re))};
}

// u / v as u * conj(v) / |v|^2, with |v|^2 given.
inline Cvec cdiv(Cvec u, Cvec v, __m256d norm) {
    return {_mm256_div_pd(_mm256_fmadd_pd(u.re, v.re, _mm256_mul_pd(u.im, v.im)), norm),
            _mm256_div_pd(_mm256_fmsub_pd(u.im, v.re, _mm256_mul_pd(u.re, v.im)), norm)};
}

inline __m256d norm2(Cvec v) { return _mm256_fmadd_pd(v.re, v.re, _mm256_mul_pd(v.im, v.im)); }

// A power of two that brings the larger part of z into [1, 2), so that
// quotients by z neither overflow nor underflow in |z|^2 (the stack matrix
// of a thick reflector deep in its stop band reaches 1e160 and beyond).
// Scaling by it is exact, so ordinary quotients keep their bits; parts that
// are zero, subnormal, infinite or NaN leave z unscaled.
inline __m256d quotient_scale(Cvec z) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d m = _mm256_max_pd(_mm256_andnot_pd(sign, z.re), _mm256_andnot_pd(sign, z.im));
    const __m256i exponent = _mm256_srli_epi64(_mm256_castpd_si256(m), 52);
    // Biased exponents 1 .. 2045 have a normal reciprocal power, 2046 - e.
    const __m256i usable = _mm256_and_si256(_mm256_cmpgt_epi64(exponent, _mm256_setzero_si256()),
                                            _mm256_cmpgt_epi64(_mm256_set1_epi64x(2046), exponent));
    const __m256i field = _mm256_sub_epi64(_mm256_set1_epi64x(2046), exponent);
    return _mm256_blendv_pd(_mm256_set1_pd(1.0), _mm256_castsi256_pd(_mm256_slli_epi64(field, 52)),
                            _mm256_castsi256_pd(usable));
}

inline Cvec scaled(Cvec z, __m256d s) { return {_mm256_mul_pd(z.re, s), _mm256_mul_pd(z.im, s)}; }

struct Mat {
    __m256d a, b, c, d;
};

// [[p, i*q], [i*r, p]] * m in real form: (p a - q c, p b + q d, p c + r a, p d - r b).
inline Mat times(__m256d p, __m256d q, __m256d r, const Mat& m) {
    return {_mm256_fmsub_pd(p, m.a, _mm256_mul_pd(q, m.c)), _mm256_fmadd_pd(p, m.b, _mm256_mul_pd(q, m.d)),
            _mm256_fmadd_pd(p, m.c, _mm256_mul_pd(r, m.a)), _mm256_fmsub_pd(p, m.d, _mm256_mul_pd(r, m.b))};
}

// A * B, both in real form: (a a' - b c', a b' + b d', c a' + d c', d d' - c b').
inline Mat product(const Mat& A, const Mat& B) {
    return {_mm256_fmsub_pd(A.a, B.a, _mm256_mul_pd(A.b, B.c)), _mm256_fmadd_pd(A.a, B.b, _mm256_mul_pd(A.b, B.d)),
            _mm256_fmadd_pd(A.c, B.a, _mm256_mul_pd(A.d, B.c)), _mm256_fmsub_pd(A.d, B.d, _mm256_mul_pd(A.c, B.b))};
}

inline Mat load_mat(const double* s) {
    return {_mm256_load_pd(s), _mm256_load_pd(s + 4), _mm256_load_pd(s + 8), _mm256_load_pd(s + 12)};
}
inline void store_mat(double* s, const Mat& m) {
    _mm256_store_pd(s, m.a);
    _mm256_store_pd(s + 4, m.b);
    _mm256_store_pd(s + 8, m.c);
    _mm256_store_pd(s + 12, m.d);
}

// Per layer the scratch holds M_j (four vectors), cos, sin/h and h sin of
// L_j, and kappa h and kappa/h of kappa A_j = [[0, i kappa/h], [i kappa h, 0]]
// (five).
constexpr int64_t layer_doubles = 36;

inline void store_layer(double* s, __m256d co, __m256d sh, __m256d hs, __m256d kh, __m256d k_h) {
    _mm256_store_pd(s + 16, co);
    _mm256_store_pd(s + 20, sh);
    _mm256_store_pd(s + 24, hs);
    _mm256_store_pd(s + 28, kh);
    _mm256_store_pd(s + 32, k_h);
}
inline Mat load_layer(const double* s) {
    const __m256d co = _mm256_load_pd(s + 16);
    return {co, _mm256_load_pd(s + 20), _mm256_load_pd(s + 24), co};
}
// kappa A of the layer at s, [[0, i kappa/h], [i kappa h, 0]].
inline Mat derivative_factor(const double* s) {
    return {_mm256_setzero_pd(), _mm256_load_pd(s + 32), _mm256_load_pd(s + 28), _mm256_setzero_pd()};
}
// S kappa A for the layer at s: (-b kappa h, a kappa/h, d kappa h, -c kappa/h).
inline Mat above_derivative(const Mat& S, const double* s) {
    const __m256d kh = _mm256_load_pd(s + 28), k_h = _mm256_load_pd(s + 32), minus = _mm256_set1_pd(-0.0);
    return {_mm256_xor_pd(_mm256_mul_pd(S.b, kh), minus), _mm256_mul_pd(S.a, k_h), _mm256_mul_pd(S.d, kh),
            _mm256_xor_pd(_mm256_mul_pd(S.c, k_h), minus)};
}

// n^2 - x^2 with a single rounding, except where the scalar algorithm's
// radicand, the rounded n*n less x^2, is not negative: there a fused one
// below zero is only the rounding error of x^2 (an index equal to x, where
// the scalar algorithm gives kappa = 0), so it becomes 0. Where the scalar
// radicand is negative both are, and the lane stays evanescent (NaN). MINPD
// and MAXPD return their second operand when one is NaN, so NaNs pass.
inline __m256d radicand(__m256d n, __m256d minus_x2) {
    const __m256d unfused = _mm256_add_pd(_mm256_mul_pd(n, n), minus_x2);
    const __m256d floor = _mm256_min_pd(_mm256_setzero_pd(), unfused);
    return _mm256_max_pd(floor, _mm256_fmadd_pd(n, n, minus_x2));
}

// Per call: the request's scalars broadcast to the lanes, and the scratch of
// layer_doubles per layer.
struct Lanes {
    __m256d minus_x2, er, ei, eta0_norm;
    double* scratch;
    bool streaming;  // derivative records written past the caches
};

// d(coefficient)/dd_k numerator for one reflection: (1 - r) e1 X_e1 -
// (1 + r) e2 X_e2 + (1 - r) P X01 - (1 + r) X10, with alpha = (1 - r) e1,
// beta = (1 + r) e2, gamma = (1 - r) P and one_plus = 1 + r precomputed.
inline Cvec reflection_change(Cvec alpha, __m256d x_alpha, Cvec beta, __m256d x_beta, Cvec gamma, __m256d x01,
                              Cvec one_plus, __m256d x10) {
    __m256d re = _mm256_fmsub_pd(alpha.re, x_alpha, _mm256_mul_pd(beta.re, x_beta));
    re = _mm256_fnmadd_pd(gamma.im, x01, re);
    re = _mm256_fmadd_pd(one_plus.im, x10, re);
    __m256d im = _mm256_fmsub_pd(alpha.im, x_alpha, _mm256_mul_pd(beta.im, x_beta));
    im = _mm256_fmadd_pd(gamma.re, x01, im);
    im = _mm256_fnmadd_pd(one_plus.re, x10, im);
    return {re, im};
}

// What turns X = dM/dd_k into dt, dr and dr' for the lanes of a block.
struct Changes {
    Cvec P, es, a_t, a_r, a_rb, one_plus_r, one_plus_rb, alpha, beta, gamma, alpha_b, beta_b, gamma_b;
    __m256d er, ei;
};

inline void store_changes(const Request& q, const Changes& f, int k, int64_t b0, const Mat& X, const Stored& stored,
                          bool streaming) {
    const int64_t column = static_cast<int64_t>(k) * q.N + b0;
    // D' = eta_s X11 + eta0 X00 + P X01 + X10.
    const Cvec Dk{_mm256_fnmadd_pd(f.P.im, X.b, _mm256_fmadd_pd(f.es.re, X.d, _mm256_mul_pd(f.er, X.a))),
                  _mm256_add_pd(_mm256_fmadd_pd(f.P.re, X.b, _mm256_fmadd_pd(f.es.im, X.d, _mm256_mul_pd(f.ei, X.a))),
                                X.c)};
    store_complex(q.record[4], column, cmul(f.a_t, Dk), stored, streaming);
    store_complex(q.record[5], column,
                  cmul(f.a_r, reflection_change(f.alpha, X.a, f.beta, X.d, f.gamma, X.b, f.one_plus_r, X.c)), stored,
                  streaming);
    store_complex(q.record[6], column,
                  cmul(f.a_rb, reflection_change(f.alpha_b, X.d, f.beta_b, X.a, f.gamma_b, X.b, f.one_plus_rb, X.c)),
                  stored, streaming);
}

void block(const Request& q, const Lanes& lanes, int64_t b0, const Stored& stored) {
    const int K = q.K;
    Mat M{_mm256_set1_pd(1.0), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_set1_pd(1.0)};
    if (K > 0) {
        const __m256d w = _mm256_div_pd(_mm256_set1_pd(6.283185307179586), _mm256_loadu_pd(q.wavelengths + b0));
        for (int j = 0; j < K; ++j) {
            if (j + ahead < K) {
                prefetch_block(q.indices[j + ahead], b0);
                prefetch_block(q.admittances[j + ahead], b0);
            }
            const __m256d n = load_real(q.indices[j], b0);
            const __m256d kappa = _mm256_mul_pd(_mm256_sqrt_pd(radicand(n, lanes.minus_x2)), w);
            const __m256d delta = _mm256_mul_pd(_mm256_broadcast_sd(q.thicknesses + j), kappa);
            __m256d s, co;
            sincos_pd(delta, &s, &co);
            const __m256d h = load_real(q.admittances[j], b0);
            const __m256d sh = _mm256_div_pd(s, h), hs = _mm256_mul_pd(h, s);
            M = times(co, sh, hs, M);
            if (q.derivatives) {
                double* layer = lanes.scratch + layer_doubles * j;
                store_mat(layer, M);
                store_layer(layer, co, sh, hs, _mm256_mul_pd(kappa, h), _mm256_div_pd(kappa, h));
            }
        }
    }

    // Coefficients of the whole coating.
    const Cvec eta0{lanes.er, lanes.ei};
    const Cvec es = load_complex(q.substrate, b0);
    const Cvec P = cmul(eta0, es);
    const Cvec D{_mm256_fnmadd_pd(M.b, P.im, _mm256_fmadd_pd(M.a, lanes.er, _mm256_mul_pd(M.d, es.re))),
                 _mm256_add_pd(_mm256_fmadd_pd(M.b, P.re, M.c),
                               _mm256_fmadd_pd(M.a, lanes.ei, _mm256_mul_pd(M.d, es.im)))};
    // Every quotient by D has numerator and D scaled alike.
    const __m256d s = quotient_scale(D);
    const Cvec Ds = scaled(D, s);
    const __m256d D2 = norm2(Ds);
    Cvec t = cdiv(scaled(eta0, s), Ds, D2), tb = cdiv(scaled(es, s), Ds, D2);
    t = {_mm256_add_pd(t.re, t.re), _mm256_add_pd(t.im, t.im)};
    tb = {_mm256_add_pd(tb.re, tb.re), _mm256_add_pd(tb.im, tb.im)};
    // P*i*b - i*c, shared by both reflections.
    const __m256d Qi = _mm256_fmsub_pd(M.b, P.re, M.c);
    const Cvec A{_mm256_fmsub_pd(M.a, lanes.er, _mm256_mul_pd(M.d, es.re)),
                 _mm256_fmsub_pd(M.a, lanes.ei, _mm256_mul_pd(M.d, es.im))};
    const Cvec B{_mm256_fmsub_pd(M.d, es.re, _mm256_mul_pd(M.a, lanes.er)),
                 _mm256_fmsub_pd(M.d, es.im, _mm256_mul_pd(M.a, lanes.ei))};
    const Cvec r = cdiv(scaled({_mm256_fnmadd_pd(M.b, P.im, A.re), _mm256_add_pd(A.im, Qi)}, s), Ds, D2);
    const Cvec rb = cdiv(scaled({_mm256_fnmadd_pd(M.b, P.im, B.re), _mm256_add_pd(B.im, Qi)}, s), Ds, D2);
    store_complex(q.record[0], b0, t, stored);
    store_complex(q.record[1], b0, tb, stored);
    store_complex(q.record[2], b0, r, stored);
    store_complex(q.record[3], b0, rb, stored);
    if (!q.derivatives || K == 0) return;

    // Derivatives, from the top layer down; above the top S is the identity.
    const __m256d half = _mm256_set1_pd(0.5), one = _mm256_set1_pd(1.0);
    const Cvec t_e0 = cdiv(t, eta0, lanes.eta0_norm), tb_es = cdiv(tb, es, norm2(es));
    const Cvec a_r{_mm256_mul_pd(half, t_e0.re), _mm256_mul_pd(half, t_e0.im)};
    const Cvec a_rb{_mm256_mul_pd(half, tb_es.re), _mm256_mul_pd(half, tb_es.im)};
    const Cvec a_r_t = cmul(a_r, t);
    const Cvec a_t{_mm256_xor_pd(a_r_t.re, _mm256_set1_pd(-0.0)), _mm256_xor_pd(a_r_t.im, _mm256_set1_pd(-0.0))};
    const Cvec one_minus_r{_mm256_sub_pd(one, r.re), _mm256_xor_pd(r.im, _mm256_set1_pd(-0.0))};
    const Cvec one_plus_r{_mm256_add_pd(one, r.re), r.im};
    const Cvec one_minus_rb{_mm256_sub_pd(one, rb.re), _mm256_xor_pd(rb.im, _mm256_set1_pd(-0.0))};
    const Cvec one_plus_rb{_mm256_add_pd(one, rb.re), rb.im};
    const Changes f{P, es, a_t, a_r, a_rb, one_plus_r, one_plus_rb,
                    cmul(one_minus_r, eta0), cmul(one_plus_r, es), cmul(one_minus_r, P),
                    cmul(one_minus_rb, es), cmul(one_plus_rb, eta0), cmul(one_minus_rb, P),
                    lanes.er, lanes.ei};
    const double* top = lanes.scratch + layer_doubles * (K - 1);
    store_changes(q, f, K - 1, b0, product(derivative_factor(top), load_mat(top)), stored, lanes.streaming);
    Mat S = load_layer(top);
    for (int k = K - 2; k >= 0; --k) {
        const double* layer = lanes.scratch + layer_doubles * k;
        if (k >= ahead && !lanes.streaming)
            for (int s = 4; s < 7; ++s) prefetch_block(q.record[s], static_cast<int64_t>(k - ahead) * q.N + b0);
        store_changes(q, f, k, b0, product(above_derivative(S, layer), load_mat(layer)), stored, lanes.streaming);
        if (k > 0) S = product(S, load_layer(layer));
    }
}

// Blocks over [start, end), the last one moved back to end - 4; the columns
// written are those of the blocks, or only [start, end) when `within`.
void blocks(const Request& q, int start, int end, bool within) {
    // Outside its contract the kernel does nothing rather than touch memory
    // it was not given (a negative K cannot even size the scratch).
    if (q.K < 0 || start < 0 || start >= end || end < 4 || end > q.N) return;
    const Scratch scratch = Scratch::required(static_cast<size_t>(q.K) * layer_doubles * sizeof(double));
    const __m256d er = _mm256_set1_pd(parts(q.eta0)[0]), ei = _mm256_set1_pd(parts(q.eta0)[1]);
    // Derivative records beyond the caches go out by non-temporal stores
    // (they are written once and not read back), where every slot is
    // aligned for them.
    bool aligned = true;
    for (int s = 4; s < 7; ++s) aligned &= (reinterpret_cast<uintptr_t>(q.record[s]) % 32) == 0;
    const bool streaming = q.derivatives && aligned && q.N % 2 == 0 &&
                           static_cast<double>(q.K) * (end - start) * 3 * sizeof(cplx) > double(2 << 20);
    const Lanes lanes{_mm256_set1_pd(-(q.x * q.x)), er, ei, _mm256_fmadd_pd(er, er, _mm256_mul_pd(ei, ei)),
                      scratch.doubles(), streaming};
    for (int64_t b0 = start; b0 < end; b0 += 4) {
        if (b0 + 4 > end) b0 = end - 4;
        block(q, lanes, b0, lanes_from(within && b0 < start ? static_cast<int>(start - b0) : 0));
    }
    if (streaming) _mm_sfence();
}

}  // namespace

void four_lane(const Request& q, int start, int end) { blocks(q, start, end, false); }

void four_lane_within(const Request& q, int start, int end) { blocks(q, start, end, true); }

}  // namespace sardune::real_index

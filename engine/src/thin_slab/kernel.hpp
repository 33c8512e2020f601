// The thin-slab variation kernel in single precision, written once over an
// ISA layer V (include vecmath_sse2.hpp or vecmath_avx2.hpp first). Each unit
// that includes it gets its own internal copy; the AVX2 unit must stay free of
// library templates, so this file uses raw pointers and C memory functions.
//
// The wavelengths are taken in tiles of at most kTile: each tile's
// position-independent quantities are prepared into a scratch on the stack,
// then every position walks the tile. The scratch stays small and in cache
// whatever N is, and nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sardune.h"

namespace {

// The caller's arrays as doubles (complex values as re, im pairs), or those
// of one tile (every pointer advanced to the tile's first wavelength).
// Outputs have stride N, the planes of P and Q stride `planes` (N, or W
// for a padded block).
struct SlabArgs {
    uint32_t N, n_z;
    size_t planes;
    const double *P, *Q;         // matrix stacks, 4 planes each, or null
    const double *nh, *eh;       // host index and admittance
    const double *na, *ea;       // slab index and admittance
    const double *wl, *z;        // wavelengths, positions
    const double *es, *t, *tb, *r, *rb;
    double x, e0re, e0im;
    double *dt, *dr, *drb;       // outputs, each optional
};

// Per-call scratch, float planes of n: beta, Delta01 and Delta10 of the slab
// generator (real and imaginary parts).
struct SlabScratch {
    float *b_re, *b_im, *d01_re, *d01_im, *d10_re, *d10_im;
};

template <class V> inline CV<V> load_cv(const double* p, size_t j) {
    CV<V> c;
    V::load_c(p + 2 * j, c.re, c.im);
    return c;
}
template <class V> inline CV<V> load_sv(const float* re, const float* im, size_t j) {
    return {V::loadf(re + j), V::loadf(im + j)};
}
template <class V> inline void store_sv(float* re, float* im, size_t j, CV<V> v) {
    V::storef(re + j, v.re);
    V::storef(im + j, v.im);
}
// Widens and stores one block; a padded block keeps only the caller's lanes.
template <class V, bool Padded> inline void store_out(double* out, size_t off, CV<V> v, uint32_t lanes) {
    if constexpr (Padded) {
        alignas(64) double tmp[2 * V::W];
        V::store_c(tmp, v.re, v.im);
        std::memcpy(out + 2 * off, tmp, size_t(lanes) * 2 * sizeof(double));
    } else {
        (void)lanes;
        V::store_c(out + 2 * off, v.re, v.im);
    }
}

// Blocks start at 0, W, 2W, ...; the last one is moved back to end at n and
// overlaps its predecessor (same inputs, same lane values).
template <class V> inline size_t block_start(size_t j, size_t n) { return j + V::W > n ? n - V::W : j; }

// ---- preparation: position-independent per-wavelength quantities

template <class V> inline void prepare_block(const SlabArgs& a, const SlabScratch& s, size_t j0,
                                             typename V::F x2) {
    using F = typename V::F;
    using C = CV<V>;
    C nh = load_cv<V>(a.nh, j0), eh = load_cv<V>(a.eh, j0);
    C na = load_cv<V>(a.na, j0), ea = load_cv<V>(a.ea, j0);
    F k0 = V::div(V::set1(6.2831855f), V::load_r(a.wl + j0));
    C nh2 = cmul(nh, nh), na2 = cmul(na, na);
    nh2.re = V::sub(nh2.re, x2);
    na2.re = V::sub(na2.re, x2);
    C qh = csqrt<V>(nh2), qa = csqrt<V>(na2);
    C d01 = mul_i(cscale(csub(cdiv(qa, ea), cdiv(qh, eh)), k0));
    // Two products formed alike, so equal materials give Delta = 0 exactly.
    C d10 = mul_i(cscale(csub(cmul(ea, qa), cmul(eh, qh)), k0));
    store_sv<V>(s.b_re, s.b_im, j0, cscale(qh, k0));
    store_sv<V>(s.d01_re, s.d01_im, j0, d01);
    store_sv<V>(s.d10_re, s.d10_im, j0, d10);
}

// ---- position pass

// cos(beta*tau) and sin(beta*tau) for complex beta = a + ib and real tau.
template <class V> struct Phase {
    CV<V> c, s;
};
template <class V> inline Phase<V> phase(CV<V> beta, typename V::F tau) {
    using F = typename V::F;
    F at = V::mul(beta.re, tau), bt = V::mul(beta.im, tau);
    F sa, ca;
    vsincos<V>(at, sa, ca);
    F sb = vabs<V>(bt);
    F h = half_exp<V>(sb);
    F ch = cosh_from_h<V>(h), sh = sinh_from_h<V>(bt, sb, h);
    return {{V::mul(ca, ch), V::xor_(V::mul(sa, sh), V::set1(-0.0f))}, {V::mul(sa, ch), V::mul(ca, sh)}};
}

// 2x2 complex matrices as four entries.
template <class V> struct M2 {
    CV<V> m00, m01, m10, m11;
};
template <class V> inline M2<V> mat_mul(const M2<V>& x, const M2<V>& y) {
    return {cdot2(x.m00, y.m00, x.m01, y.m10), cdot2(x.m00, y.m01, x.m01, y.m11),
            cdot2(x.m10, y.m00, x.m11, y.m10), cdot2(x.m10, y.m01, x.m11, y.m11)};
}
template <class V> inline M2<V> load_mat(const double* p, size_t n, size_t j0) {
    return {load_cv<V>(p, j0), load_cv<V>(p + 2 * n, j0), load_cv<V>(p + 4 * n, j0),
            load_cv<V>(p + 6 * n, j0)};
}

// Once per call: the incident admittance in single precision.
template <class V> struct Incident {
    CV<V> e0, e0c;
    typename V::F n0;  // |eta0|^2
};

template <class V, bool Padded>
inline void position_block(const SlabArgs& a, const SlabScratch& s, size_t j0, size_t row,
                           typename V::F t1, typename V::F t2, const Incident<V>& in) {
    using F = typename V::F;
    using C = CV<V>;
    const F half = V::set1(0.5f);
    const C one = {V::set1(1.0f), V::zero()};
    C beta = load_sv<V>(s.b_re, s.b_im, j0);
    Phase<V> p2 = phase<V>(beta, t2), p1 = phase<V>(beta, t1);
    C eh = load_cv<V>(a.eh, j0), ieh = mul_i(eh);
    C d01 = load_sv<V>(s.d01_re, s.d01_im, j0), d10 = load_sv<V>(s.d10_re, s.d10_im, j0);
    // A = L(t2) * Delta, then G = A * L(t1) [* P on the left, Q on the right]
    M2<V> A = {cdiv(cmul(mul_i(p2.s), d10), eh), cmul(p2.c, d01), cmul(p2.c, d10),
               cmul(cmul(ieh, p2.s), d01)};
    M2<V> L1 = {p1.c, cdiv(mul_i(p1.s), eh), cmul(ieh, p1.s), p1.c};
    M2<V> G = mat_mul(A, L1);
    if (a.P) G = mat_mul(load_mat<V>(a.P, a.planes, j0), G);
    if (a.Q) G = mat_mul(G, load_mat<V>(a.Q, a.planes, j0));

    C es = load_cv<V>(a.es, j0);
    size_t off = row + j0;
    if (a.dt || a.dr) {
        C t = load_cv<V>(a.t, j0);
        C dB = cmuladd(G.m01, es, G.m00), dC = cmuladd(G.m11, es, G.m10);
        C tc = cmul(t, in.e0c);  // t / (2 eta0) = t conj(eta0) / |eta0|^2 / 2
        C f = {V::mul(V::div(tc.re, in.n0), half), V::mul(V::div(tc.im, in.n0), half)};
        if (a.dt) store_out<V, Padded>(a.dt, off, cneg(cmul(cmul(f, t), cmuladd(in.e0, dB, dC))), a.N);
        if (a.dr) {
            C r = load_cv<V>(a.r, j0);
            C X = cdot2(cmul(csub(one, r), in.e0), dB, cneg(cadd(one, r)), dC);
            store_out<V, Padded>(a.dr, off, cmul(f, X), a.N);
        }
    }
    if (a.drb) {
        C tb = load_cv<V>(a.tb, j0), rb = load_cv<V>(a.rb, j0);
        C dBb = cmuladd(G.m01, in.e0, G.m11), dCb = cmuladd(G.m00, in.e0, G.m10);
        C g = cscale(cdiv(tb, es), half);
        C X = cdot2(cmul(csub(one, rb), es), dBb, cneg(cadd(one, rb)), dCb);
        store_out<V, Padded>(a.drb, off, cmul(g, X), a.N);
    }
}

// The n >= W wavelengths of a tile; with Padded, n == W and only the
// caller's N lanes of each output block are stored.
template <class V, bool Padded> void thin_slab_pass(const SlabArgs& a, size_t n, float* scratch) {
    using F = typename V::F;
    SlabScratch s = {scratch,         scratch + n,     scratch + 2 * n,
                     scratch + 3 * n, scratch + 4 * n, scratch + 5 * n};
    F x2 = V::set1(float(a.x * a.x));
    for (size_t j = 0; j < n; j += V::W) prepare_block<V>(a, s, block_start<V>(j, n), x2);

    if (a.n_z == 0 || !(a.dt || a.dr || a.drb)) return;
    Incident<V> in;
    in.e0 = {V::set1(float(a.e0re)), V::set1(float(a.e0im))};
    in.e0c = {in.e0.re, V::xor_(in.e0.im, V::set1(-0.0f))};
    in.n0 = V::madd(in.e0.re, in.e0.re, V::mul(in.e0.im, in.e0.im));
    const double z0 = a.z[0], zl = a.z[a.n_z - 1];
    for (uint32_t i = 0; i < a.n_z; ++i) {
        F t1 = V::set1(float(a.z[i] - z0)), t2 = V::set1(float(zl - a.z[i]));
        size_t row = size_t(i) * a.N;
        for (size_t j = 0; j < n; j += V::W)
            position_block<V, Padded>(a, s, block_start<V>(j, n), row, t1, t2, in);
    }
}

// Copies the first N (< W) complex values of each of `planes` planes (stride
// N) into W-wide planes, repeating the last value, so a full block can be read.
template <class V> inline const double* pad(double* dst, const double* src, uint32_t N, int planes) {
    if (src == nullptr) return nullptr;
    for (int p = 0; p < planes; ++p)
        for (int j = 0; j < V::W; ++j) {
            uint32_t k = uint32_t(j) < N ? uint32_t(j) : N - 1;
            dst[2 * (p * V::W + j)] = src[2 * (size_t(p) * N + k)];
            dst[2 * (p * V::W + j) + 1] = src[2 * (size_t(p) * N + k) + 1];
        }
    return dst;
}
template <class V> inline const double* pad_real(double* dst, const double* src, uint32_t N) {
    for (int j = 0; j < V::W; ++j) dst[j] = src[uint32_t(j) < N ? uint32_t(j) : N - 1];
    return dst;
}

// Wavelengths per tile: its scratch of 24 bytes per wavelength, 12 KiB,
// lives on the stack (the stack of a caller's thread may be small).
constexpr size_t kTile = 512;

inline const double* advance(const double* p, size_t by) { return p ? p + by : p; }
inline double* advance(double* p, size_t by) { return p ? p + by : p; }

// The arguments of the tile that starts at wavelength s.
inline SlabArgs tile_at(SlabArgs a, size_t s) {
    a.P = advance(a.P, 2 * s), a.Q = advance(a.Q, 2 * s);
    a.nh = advance(a.nh, 2 * s), a.eh = advance(a.eh, 2 * s);
    a.na = advance(a.na, 2 * s), a.ea = advance(a.ea, 2 * s);
    a.wl = advance(a.wl, s);
    a.es = advance(a.es, 2 * s), a.t = advance(a.t, 2 * s), a.tb = advance(a.tb, 2 * s);
    a.r = advance(a.r, 2 * s), a.rb = advance(a.rb, 2 * s);
    a.dt = advance(a.dt, 2 * s), a.dr = advance(a.dr, 2 * s), a.drb = advance(a.drb, 2 * s);
    return a;
}

// Wavelengths [first, last) of a request of N >= W, last - first >= W, tile
// by tile. A last tile shorter than a block starts W before its end, so
// blocks start where a single pass over [first, last) would start them.
template <class V> void thin_slab_range(const SlabArgs& a, size_t first, size_t last) {
    alignas(64) float scratch[6 * kTile];
    for (size_t b = first; b < last; b += kTile) {
        const size_t e = last - b < kTile ? last : b + kTile;
        const size_t s = e - b < size_t(V::W) ? e - V::W : b;
        std::memset(scratch, 0, 6 * (e - s) * sizeof(float));
        thin_slab_pass<V, false>(tile_at(a, s), e - s, scratch);
    }
}

// Fewer wavelengths than one block: a padded block computed locally.
template <class V> void thin_slab_padded(SlabArgs a) {
    alignas(64) double padded[2 * V::W * 17 + V::W];
    const bool pos = a.n_z > 0, out = a.dt || a.dr || a.drb;
    double* b = padded;
    const int W2 = 2 * V::W;
    a.nh = pad<V>(b, a.nh, a.N, 1), a.eh = pad<V>(b + W2, a.eh, a.N, 1);
    a.na = pad<V>(b + 2 * W2, a.na, a.N, 1), a.ea = pad<V>(b + 3 * W2, a.ea, a.N, 1);
    a.P = pad<V>(b + 4 * W2, a.P, a.N, 4), a.Q = pad<V>(b + 8 * W2, a.Q, a.N, 4);
    a.es = pos && out ? pad<V>(b + 12 * W2, a.es, a.N, 1) : nullptr;
    a.t = pos && (a.dt || a.dr) ? pad<V>(b + 13 * W2, a.t, a.N, 1) : nullptr;
    a.r = pos && a.dr ? pad<V>(b + 14 * W2, a.r, a.N, 1) : nullptr;
    a.tb = pos && a.drb ? pad<V>(b + 15 * W2, a.tb, a.N, 1) : nullptr;
    a.rb = pos && a.drb ? pad<V>(b + 16 * W2, a.rb, a.N, 1) : nullptr;
    a.wl = pad_real<V>(b + 17 * W2, a.wl, a.N);
    a.planes = V::W;
    alignas(64) float scratch[6 * V::W] = {};
    thin_slab_pass<V, true>(a, V::W, scratch);
}

template <class V> int run_thin_slab(const SlabArgs& a) {
    if (a.N == 0) return SARDUNE_OK;
    if (a.N < uint32_t(V::W))
        thin_slab_padded<V>(a);
    else
        thin_slab_range<V>(a, 0, a.N);
    return SARDUNE_OK;
}

inline const double* d(const sardune_complex* p) { return reinterpret_cast<const double*>(p); }

// The arguments of a request; reads the incident admittance, whatever N is.
inline SlabArgs slab_args(SARDUNE_CALC_V_T_TAU_PARAMS) {
    SlabArgs a;
    a.e0re = incident_admittance->re;
    a.e0im = incident_admittance->im;
    a.N = N, a.n_z = n_z, a.x = x;
    a.P = d(front_matrix), a.Q = d(back_matrix);
    a.nh = d(host_indices), a.eh = d(host_admittances);
    a.na = d(slab_indices), a.ea = d(slab_admittances);
    a.wl = wavelengths, a.z = positions;
    a.es = d(substrate_admittances), a.t = d(t), a.tb = d(t_back), a.r = d(r), a.rb = d(r_back);
    a.dt = reinterpret_cast<double*>(dt), a.dr = reinterpret_cast<double*>(dr);
    a.drb = reinterpret_cast<double*>(dr_back);
    a.planes = N;
    return a;
}

// The exported builds' common body.
template <class V> int thin_slab_entry(SARDUNE_CALC_V_T_TAU_PARAMS) {
    return run_thin_slab<V>(slab_args(N, n_z, front_matrix, back_matrix, host_indices, host_admittances, x,
                                      slab_indices, positions, slab_admittances, wavelengths, incident_admittance,
                                      substrate_admittances, t, t_back, r, r_back, dt, dr, dr_back));
}

}  // namespace

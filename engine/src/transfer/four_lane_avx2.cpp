// The transfer-matrix kernels four wavelengths at a time (AVX2 with FMA), for
// absorbing layers: lane l of every vector belongs to wavelength b + l of a
// block. Per layer and lane, with delta = a + ib,
//     q = sqrt(n^2 - x^2), delta = (d q) 2 pi / lambda,
//     sin delta = (sin a cosh b, cos a sinh b), cos delta = (cos a cosh b, -sin a sinh b),
//     i/eta = (Im eta, Re eta) / |eta|^2, i eta = (-Im eta, Re eta),
// from one vector sine-cosine of a and one exponential of |b|. Wavelengths
// these formulas cannot honour are computed again by the C-library kernel
// (transfer.hpp says which).
//
// Memory order: every kernel sweeps tiles of a few blocks layer by layer,
// their running products in a local buffer, so that each layer's rows are
// read (and its outputs written) as contiguous runs. The forward-backward
// sweeps keep what their way down needs in a scratch per tile, so each
// output is written once; the partial coatings keep there the derivative
// matrices they carry up. Large outputs go out by non-temporal stores.
#include <immintrin.h>

#include <cstdint>

#include "core/scratch.hpp"
#include "simd/complex_avx2.hpp"
#include "simd/sincos_avx2.hpp"
#include "transfer/transfer.hpp"

namespace sardune::transfer {

namespace {

// Blocks per tile (chosen by measurement, see the transfer-matrix benchmark),
// fewer where the tile's scratch would pass kScratchBudget, so that the
// scratch stays near the size of the second-level cache whatever K (wider
// tiles measured faster even when their scratch spills from it).
constexpr int kTileBlocks = 16;
constexpr size_t kScratchBudget = size_t(1) << 21;

// ---- data

// A 2x2 complex matrix, four lanes.
struct Mat4 {
    C4 m00, m01, m10, m11;
};

inline Mat4 identity4() {
    const C4 one{_mm256_set1_pd(1.0), _mm256_setzero_pd()}, zero{_mm256_setzero_pd(), _mm256_setzero_pd()};
    return {one, zero, zero, one};
}

// Values kept in the tiles' buffers are written member by member: the
// compiler copies a whole struct of vectors through general registers.
inline void set(C4* to, C4 z) { to->re = z.re, to->im = z.im; }
inline void set(Mat4* to, const Mat4& m) {
    set(&to->m00, m.m00), set(&to->m01, m.m01), set(&to->m10, m.m10), set(&to->m11, m.m11);
}

// Where a block lies: its first wavelength and how many of its lanes are
// wavelengths of the range (the rest are padding).
struct Block {
    int64_t i;
    int count;
};

inline const double* parts(const cplx* p) { return reinterpret_cast<const double*>(p); }
inline double* parts(cplx* p) { return reinterpret_cast<double*>(p); }

// A per-layer array as rows of complex values, in either form.
struct Rows {
    const cplx* const* pointers;
    const cplx* flat;
    int64_t stride;
    const double* at(int j, int64_t i) const {
        return parts(pointers != nullptr ? pointers[j] + i : flat + j * stride + i);
    }
};
inline Rows rows(const cplx* const* p) { return {p, nullptr, 0}; }
inline Rows rows(const TwoDArray<cplx>& a) { return {nullptr, a.data, a.dim1}; }

// A matrix stack (2, 2, N), or layer j of a per-layer matrix stack.
struct Stack {
    cplx* data;
    int64_t N;
    double* entry(int e, int64_t i) const { return parts(data + e * N + i); }
};
inline Stack stack(const ThreeDArray<cplx>& s) { return {s.data, s.dim2}; }
inline Stack stack(const FourDArray<cplx>& s, int j) { return {s.data + 4 * s.dim3 * j, s.dim3}; }

inline Mat4 load_mat(const Stack& s, const Block& b) {
    return {load_block(s.entry(0, b.i), b.count), load_block(s.entry(1, b.i), b.count),
            load_block(s.entry(2, b.i), b.count), load_block(s.entry(3, b.i), b.count)};
}
inline void store_mat(const Stack& s, const Block& b, const Mat4& m) {
    store_block(s.entry(0, b.i), b.count, m.m00), store_block(s.entry(1, b.i), b.count, m.m01);
    store_block(s.entry(2, b.i), b.count, m.m10), store_block(s.entry(3, b.i), b.count, m.m11);
}

// Results far larger than the cache go out by non-temporal stores: ordinary
// ones would first read every line they fill, and those lines would only
// push the inputs out of the cache on their way to memory. Short blocks take
// ordinary stores. The kernel fences before it redoes a wavelength and
// before it returns, so that the pool's hand-over publishes the results.
constexpr int64_t kStreamingBytes = int64_t(1) << 21;

inline bool aligned16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) == 0; }

struct Sink {
    bool streaming;
    void put(double* p, int count, C4 z) const {
        if (streaming && count == 4) return stream4(p, z);
        store_block(p, count, z);
    }
    void put(const Stack& s, const Block& b, const Mat4& m) const {
        put(s.entry(0, b.i), b.count, m.m00), put(s.entry(1, b.i), b.count, m.m01);
        put(s.entry(2, b.i), b.count, m.m10), put(s.entry(3, b.i), b.count, m.m11);
    }
    void fence() const {
        if (streaming) _mm_sfence();
    }
};

// The wavelengths of a block: the wave number 2 pi / lambda and whether
// lambda is finite.
struct Wave {
    __m256d lambda, kappa, finite;
};
inline Wave wave(const double* wavelengths, const Block& b) {
    const __m256d lambda = load_block_real(wavelengths + b.i, b.count);
    return {lambda, _mm256_div_pd(_mm256_set1_pd(optics::two_pi), lambda),
            _mm256_cmp_pd(abs_pd(lambda), _mm256_set1_pd(1.7976931348623157e308), _CMP_LE_OQ)};
}

// ---- the layer, in two steps: q, the phase thickness and the lanes to hand
// back; then the sine and cosine of the phase and the layer's terms. The
// tiled kernels run each step over a whole tile before the next, so that
// the long chain of square roots of one block overlaps with the other
// blocks' work.

// One layer at one block: q, delta = a + ib and eta.
struct Phase {
    C4 q;
    __m256d a, b;
    C4 eta;
};

inline __m256d within(__m256d v, double lo, double hi) {
    return _mm256_and_pd(_mm256_cmp_pd(v, _mm256_set1_pd(lo), _CMP_GE_OQ),
                         _mm256_cmp_pd(v, _mm256_set1_pd(hi), _CMP_LE_OQ));
}

// Writes the phase to *out and adds to *special the lanes (bit l for lane l)
// the formulas cannot honour.
inline void layer_phase(const double* n_row, const double* eta_row, int count, double d, const Wave& w, __m256d x2,
                        Phase* out, int* special) {
    const C4 n = load_block(n_row, count), eta = load_block(eta_row, count);
    // n^2 - x^2 with x^2 off the real part only.
    const C4 nx{_mm256_fmsub_pd(n.re, n.re, _mm256_fmadd_pd(n.im, n.im, x2)),
                _mm256_mul_pd(_mm256_add_pd(n.re, n.re), n.im)};
    const C4 q = csqrt(nx);
    const __m256d a = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(d), q.re), w.kappa);
    const __m256d b = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(d), q.im), w.kappa);
    const __m256d eta2 = norm2(eta);

    __m256d ok = _mm256_and_pd(w.finite, within(norm2(nx), 1e-290, 1e300));
    ok = _mm256_and_pd(ok, _mm256_cmp_pd(abs_pd(a), _mm256_set1_pd(1e5), _CMP_LE_OQ));
    ok = _mm256_and_pd(ok, _mm256_cmp_pd(abs_pd(b), _mm256_set1_pd(700.0), _CMP_LE_OQ));
    ok = _mm256_and_pd(ok, within(eta2, 1e-290, 1e290));
    *special |= ~_mm256_movemask_pd(ok) & 0xF;

    out->q.re = q.re, out->q.im = q.im, out->a = a, out->b = b, out->eta.re = eta.re, out->eta.im = eta.im;
}

// i/eta = (Im eta, Re eta) / |eta|^2. Its division is left to the second
// step, whose divider is mostly idle, while the first one's is busy with
// the square roots.
inline C4 i_over(C4 eta) {
    const __m256d inv = _mm256_div_pd(_mm256_set1_pd(1.0), norm2(eta));
    return {_mm256_mul_pd(eta.im, inv), _mm256_mul_pd(eta.re, inv)};
}

// The stack-matrix layer L = [[C, u], [v, C]].
struct Terms {
    C4 C, u, v;
};
inline void set(Terms* to, const Terms& L) { set(&to->C, L.C), set(&to->u, L.u), set(&to->v, L.v); }

// L R, all four old entries read first.
inline Mat4 apply(const Terms& L, const Mat4& R) {
    return {cdot2(L.C, R.m00, L.u, R.m10), cdot2(L.C, R.m01, L.u, R.m11), cdot2(L.v, R.m00, L.C, R.m10),
            cdot2(L.v, R.m01, L.C, R.m11)};
}

// A B for full matrices.
inline Mat4 product(const Mat4& A, const Mat4& B) {
    return {cdot2(A.m00, B.m00, A.m01, B.m10), cdot2(A.m00, B.m01, A.m01, B.m11),
            cdot2(A.m10, B.m00, A.m11, B.m10), cdot2(A.m10, B.m01, A.m11, B.m11)};
}

// The layer from its phase: sin delta and cos delta, then u = S i/eta and
// v = S i eta.
inline Terms stack_terms(const Phase& p) {
    __m256d sa, ca, ch, sh;
    sincos_pd(p.a, &sa, &ca);
    cosh_sinh(abs_pd(p.b), &ch, &sh);
    sh = _mm256_or_pd(sh, _mm256_and_pd(p.b, _mm256_set1_pd(-0.0)));
    const C4 S{_mm256_mul_pd(sa, ch), _mm256_mul_pd(ca, sh)};
    return {{_mm256_mul_pd(ca, ch), negate_pd(_mm256_mul_pd(sa, sh))}, cmul(S, i_over(p.eta)),
            cmul(S, times_i(p.eta))};
}

// Calls redo(i) for every wavelength i of the block whose lane is marked.
template <class Redo>
inline void redo_marked(const Block& b, int special, const Redo& redo) {
    for (int l = 0; l < b.count; ++l)
        if (special >> l & 1) redo(b.i + l);
}

// ---- stack matrices and forward products: one tile after the other, each
// swept layer by layer; the partial product (when wanted) is taken just
// before the outermost layer. Both entry points run this same code (and
// redo the same wavelengths with C-library kernels that agree), so they
// agree value for value.

// The blocks of the tile [t0, t1).
struct Tile {
    int64_t t0, t1;
    int blocks() const { return static_cast<int>((t1 - t0 + 3) / 4); }
    Block block(int m) const {
        const int64_t i = t0 + 4 * m;
        return {i, static_cast<int>(t1 - i < 4 ? t1 - i : 4)};
    }
};

// Blocks per tile for a range whose tiles keep `scratch_per_block` bytes per
// block: never more than the range has, so that a request of a few
// wavelengths does not allocate and clear the scratch of 64.
inline int tile_width(int start, int end, size_t scratch_per_block) {
    int64_t width = (static_cast<int64_t>(end) - start + 3) / 4;
    if (width > kTileBlocks) width = kTileBlocks;
    const int64_t fits = static_cast<int64_t>(kScratchBudget / (scratch_per_block > 0 ? scratch_per_block : 1));
    if (width > fits) width = fits > 1 ? fits : 1;
    return static_cast<int>(width);
}

// Tiles of `width` blocks from start.
template <class Tiled>
inline void for_each_tile(int start, int end, int width, const Tiled& tiled) {
    const int64_t span = 4 * static_cast<int64_t>(width);
    for (int64_t t0 = start; t0 < end; t0 += span) tiled(Tile{t0, t0 + span < end ? t0 + span : end});
}

template <class Redo>
void stack_tiles(int start, int end, int K, const double* wavelengths, const double* thicknesses, Rows n, Rows eta,
                 double x, const Stack& out, const Stack* partial, const Redo& redo) {
    const __m256d x2 = _mm256_set1_pd(x * x);
    Mat4 R[kTileBlocks];
    Wave waves[kTileBlocks];
    Phase phases[kTileBlocks];
    int special[kTileBlocks];
    for_each_tile(start, end, kTileBlocks, [&](const Tile& tile) {
        for (int m = 0; m < tile.blocks(); ++m)
            R[m] = identity4(), waves[m] = wave(wavelengths, tile.block(m)), special[m] = 0;
        for (int j = 0; j < K; ++j) {
            if (partial != nullptr && j == K - 1)
                for (int m = 0; m < tile.blocks(); ++m) store_mat(*partial, tile.block(m), R[m]);
            const double d = thicknesses[j];
            for (int m = 0; m < tile.blocks(); ++m) {
                const Block b = tile.block(m);
                layer_phase(n.at(j, b.i), eta.at(j, b.i), b.count, d, waves[m], x2, &phases[m], &special[m]);
            }
            for (int m = 0; m < tile.blocks(); ++m) R[m] = apply(stack_terms(phases[m]), R[m]);
        }
        for (int m = 0; m < tile.blocks(); ++m) {
            store_mat(out, tile.block(m), R[m]);
            redo_marked(tile.block(m), special[m], redo);
        }
    });
}

// ---- forward-backward. L_j = C + S A and G_j = dL_j/dd = delta' L_j A with
// A = [[0, i/eta], [i eta, 0]] (A^2 = -1), so with P_j = L_{j-1} ... L_0 and
// U_j = L_{K-1} ... L_j, dM/dd_j = U_j (delta' A P_j). Per tile, one sweep up
// the layers writes L_j and keeps it with delta' A P_j in the tile's scratch;
// one sweep down forms U_j from the scratch and writes dM/dd_j, leaving
// U_0 = M. Every output is written once and nothing is read back from it.

// What the sweep down needs of layer j at one block.
struct Kept {
    Terms L;
    Mat4 AP;
};

inline void keep(Kept* k, const Terms& L, const Mat4& AP) { set(&k->L, L), set(&k->AP, AP); }

inline Mat4 as_mat(const Terms& L) { return {L.C, L.u, L.v, L.C}; }

// U L, all four old entries read first.
inline Mat4 times(const Mat4& U, const Terms& L) {
    return {cdot2(U.m00, L.C, U.m01, L.v), cdot2(U.m00, L.u, U.m01, L.C), cdot2(U.m10, L.C, U.m11, L.v),
            cdot2(U.m10, L.u, U.m11, L.C)};
}

// delta' A P for P = R, or for P = 1 when `first`.
inline Mat4 derivative_factor(const Phase& p, const Wave& w, const Mat4& R, bool first) {
    const C4 dd = cscale(p.q, w.kappa);
    const C4 a = cmul(dd, i_over(p.eta)), b = cmul(dd, times_i(p.eta));
    if (first) {
        const C4 zero{_mm256_setzero_pd(), _mm256_setzero_pd()};
        return {zero, a, b, zero};
    }
    return {cmul(a, R.m10), cmul(a, R.m11), cmul(b, R.m00), cmul(b, R.m01)};
}

template <class Redo>
void forward_backward_tiles(int start, int end, int K, const double* wavelengths, const double* thicknesses,
                            Rows n, Rows eta, double x, const Stack& out, const FourDArray<cplx>& layer_matrices,
                            const FourDArray<cplx>& derivatives, const Sink& sink, Kept* kept, int width,
                            const Redo& redo) {
    const __m256d x2 = _mm256_set1_pd(x * x);
    Mat4 R[kTileBlocks];
    Wave waves[kTileBlocks];
    Phase phases[kTileBlocks];
    int special[kTileBlocks];
    for_each_tile(start, end, width, [&](const Tile& tile) {
        for (int m = 0; m < tile.blocks(); ++m) waves[m] = wave(wavelengths, tile.block(m)), special[m] = 0;
        // Up: R = P_j before layer j.
        for (int j = 0; j < K; ++j) {
            const double d = thicknesses[j];
            const Stack L_j = stack(layer_matrices, j);
            Kept* const row = kept + static_cast<int64_t>(j) * width;
            for (int m = 0; m < tile.blocks(); ++m) {
                const Block b = tile.block(m);
                layer_phase(n.at(j, b.i), eta.at(j, b.i), b.count, d, waves[m], x2, &phases[m], &special[m]);
            }
            for (int m = 0; m < tile.blocks(); ++m) {
                const Terms L = stack_terms(phases[m]);
                keep(&row[m], L, derivative_factor(phases[m], waves[m], R[m], j == 0));
                sink.put(L_j, tile.block(m), as_mat(L));
                if (j < K - 1) R[m] = j == 0 ? as_mat(L) : apply(L, R[m]);
            }
        }
        // Down: R = U_j at layer j.
        for (int j = K - 1; j >= 0; --j) {
            const Stack D_j = stack(derivatives, j);
            const Kept* const row = kept + static_cast<int64_t>(j) * width;
            for (int m = 0; m < tile.blocks(); ++m) {
                R[m] = j == K - 1 ? as_mat(row[m].L) : times(R[m], row[m].L);
                sink.put(D_j, tile.block(m), product(R[m], row[m].AP));
            }
        }
        int any = 0;
        for (int m = 0; m < tile.blocks(); ++m) store_mat(out, tile.block(m), R[m]), any |= special[m];
        if (any == 0) return;
        sink.fence();
        for (int m = 0; m < tile.blocks(); ++m) redo_marked(tile.block(m), special[m], redo);
    });
    sink.fence();
}

// ---- partial coatings: tile by tile, each swept layer by layer; after
// layer j the derivative matrices X_k = dM/dd_k of every block of the tile
// are carried through it in the scratch, and the records of (j, k) are
// written as runs of the whole tile.

// The request's scalars as the tiles use them.
struct Partial {
    int N, K, d0;
    const double* wavelengths;
    const double* thicknesses;
    Rows n, eta;
    const cplx* substrate;
    __m256d x2;
    Stack base;
    cplx* const* const* records;
    bool derivatives;
    C4 eta0, two_eta0, inv_eta0;
    Sink sink;
    Mat4* X;    // (K - d0) rows of `width` matrices
    int width;  // blocks per tile
};

inline double* record_slot(const Partial& q, int j, int slot, int64_t at) {
    return parts(q.records[j - q.d0][slot] + at);
}

// What a block's coefficients need of its substrate: eta_s, P = eta_s eta0,
// 2 eta_s and 1/eta_s.
struct Substrate {
    C4 es, P, two_es, inv_es;
};

// The changes of t, r and r' are linear in X, with the vectors s = (1, eta_s)
// and e = (eta0, 1): dt = t0 (X s)_0 + t1 (X s)_1, dr = r0 (X s)_0 + r1 (X s)_1,
// dr' = rb0 (e X)_0 + rb1 (e X)_1.
struct Weights {
    C4 t0, t1, r0, r1, rb0, rb1;
};

inline void set(Weights* to, const Weights& w) {
    set(&to->t0, w.t0), set(&to->t1, w.t1), set(&to->r0, w.r0), set(&to->r1, w.r1), set(&to->rb0, w.rb0),
        set(&to->rb1, w.rb1);
}

inline C4 one_minus(C4 z) { return {_mm256_sub_pd(_mm256_set1_pd(1.0), z.re), negate_pd(z.im)}; }
inline C4 one_plus(C4 z) { return {_mm256_add_pd(_mm256_set1_pd(1.0), z.re), z.im}; }

// Writes t, t', r, r' of the stack matrix M to record j, returns the weights
// of the changes and adds to *special the lanes whose D the scaled
// reciprocal cannot take.
inline Weights coefficients(const Partial& q, const Substrate& s, const Mat4& M, int j, const Block& b,
                            int* special) {
    // D = eta0 M00 + eta_s M11 + P M01 + M10, its reciprocal by scaling.
    const C4 D = cmuladd(q.eta0, M.m00, cmuladd(s.es, M.m11, cmuladd(s.P, M.m01, M.m10)));
    *special |= ~_mm256_movemask_pd(within(_mm256_max_pd(abs_pd(D.re), abs_pd(D.im)), 1e-300, 1e300)) & 0xF;
    const C4 inv_D = reciprocal(D);
    const C4 t = cmul(q.two_eta0, inv_D), tb = cmul(s.two_es, inv_D);
    // eta0 M00 - eta_s M11 and P M01 - M10, shared by both reflections.
    const C4 diag = cmuladd(q.eta0, M.m00, cneg(cmul(s.es, M.m11)));
    const C4 off = cmuladd(s.P, M.m01, cneg(M.m10));
    const C4 r = cmul(cadd(diag, off), inv_D), rb = cmul(cadd(cneg(diag), off), inv_D);
    q.sink.put(record_slot(q, j, 0, b.i), b.count, t);
    q.sink.put(record_slot(q, j, 1, b.i), b.count, tb);
    q.sink.put(record_slot(q, j, 2, b.i), b.count, r);
    q.sink.put(record_slot(q, j, 3, b.i), b.count, rb);

    // The factors -t^2/(2 eta0), t/(2 eta0), t'/(2 eta_s) folded into the
    // weights.
    const C4 a_r = cmul(cscale(t, _mm256_set1_pd(0.5)), q.inv_eta0);
    const C4 a_t = cneg(cmul(t, a_r));
    const C4 a_rb = cmul(cscale(tb, _mm256_set1_pd(0.5)), s.inv_es);
    const C4 ar_m = cmul(a_r, one_minus(r)), arb_m = cmul(a_rb, one_minus(rb));
    return {cmul(a_t, q.eta0), a_t, cmul(ar_m, q.eta0), cneg(cmul(a_r, one_plus(r))), cneg(cmul(a_rb, one_plus(rb))),
            cmul(arb_m, s.es)};
}

// The changes of record j with respect to d_k, from X = X_k.
inline void changes(const Partial& q, const Substrate& s, const Weights& w, const Mat4& X, int j, int k,
                    const Block& b) {
    const C4 Xs0 = cmuladd(s.es, X.m01, X.m00), Xs1 = cmuladd(s.es, X.m11, X.m10);
    const C4 eX0 = cmuladd(q.eta0, X.m00, X.m10), eX1 = cmuladd(q.eta0, X.m01, X.m11);
    const int64_t at = static_cast<int64_t>(k - q.d0) * q.N + b.i;
    q.sink.put(record_slot(q, j, 4, at), b.count, cmuladd(w.t0, Xs0, cmul(w.t1, Xs1)));
    q.sink.put(record_slot(q, j, 5, at), b.count, cmuladd(w.r0, Xs0, cmul(w.r1, Xs1)));
    q.sink.put(record_slot(q, j, 6, at), b.count, cmuladd(w.rb0, eX0, cmul(w.rb1, eX1)));
}

// Writes the tile's records and leaves in special[m] the lanes of block m
// that need the C-library kernel.
void partial_tile(const Partial& q, const Tile& tile, int* special) {
    Wave waves[kTileBlocks];
    Substrate subs[kTileBlocks];
    Mat4 M[kTileBlocks];
    Phase phases[kTileBlocks];
    Terms L[kTileBlocks];
    Weights weights[kTileBlocks];
    for (int m = 0; m < tile.blocks(); ++m) {
        const Block b = tile.block(m);
        waves[m] = wave(q.wavelengths, b);
        set(&M[m], q.d0 != 0 ? load_mat(q.base, b) : identity4());
        const C4 es = load_block(parts(q.substrate + b.i), b.count);
        special[m] = ~_mm256_movemask_pd(within(norm2(es), 1e-290, 1e290)) & 0xF;
        set(&subs[m].es, es), set(&subs[m].P, cmul(es, q.eta0)), set(&subs[m].two_es, cadd(es, es));
        set(&subs[m].inv_es, reciprocal(es));
    }
    for (int j = q.d0; j < q.K; ++j) {
        const double d = q.thicknesses[j];
        Mat4* const X_j = q.X + static_cast<int64_t>(j - q.d0) * q.width;
        for (int m = 0; m < tile.blocks(); ++m) {
            const Block b = tile.block(m);
            layer_phase(q.n.at(j, b.i), q.eta.at(j, b.i), b.count, d, waves[m], q.x2, &phases[m], &special[m]);
        }
        for (int m = 0; m < tile.blocks(); ++m) {
            const Terms Lm = stack_terms(phases[m]);
            set(&L[m], Lm);
            if (q.derivatives) set(&X_j[m], apply(Lm, derivative_factor(phases[m], waves[m], M[m], false)));
            set(&M[m], apply(Lm, M[m]));
            const Weights w = coefficients(q, subs[m], M[m], j, tile.block(m), &special[m]);
            if (q.derivatives) set(&weights[m], w);
        }
        if (!q.derivatives) continue;
        for (int k = q.d0; k <= j; ++k) {
            Mat4* const X_k = q.X + static_cast<int64_t>(k - q.d0) * q.width;
            for (int m = 0; m < tile.blocks(); ++m) {
                if (k < j) set(&X_k[m], apply(L[m], X_k[m]));
                changes(q, subs[m], weights[m], X_k[m], j, k, tile.block(m));
            }
        }
    }
}

inline C4 broadcast(double re, double im) { return {_mm256_set1_pd(re), _mm256_set1_pd(im)}; }

// An incident admittance whose larger part lies in [1e-145, 1e145] (false
// for NaN and infinities).
inline bool usable_incident(const double* e) {
    const double re = e[0] < 0 ? -e[0] : e[0], im = e[1] < 0 ? -e[1] : e[1];
    const double m = re > im ? re : im;
    return m >= 1e-145 && m <= 1e145;
}

}  // namespace

void four_lane_stack_matrices(int start, int end, int K, const OneDArray<double>& wavelengths,
                              const OneDArray<double>& thicknesses, const cplx* const* indices,
                              const cplx* const* admittances, double x, const ThreeDArray<cplx>& stack_matrix) {
    stack_tiles(start, end, K, wavelengths.data, thicknesses.data, rows(indices), rows(admittances), x,
                stack(stack_matrix), nullptr, [&](int64_t i) {
                    stack_matrices(static_cast<int>(i), static_cast<int>(i + 1), K, wavelengths, thicknesses,
                                   indices, admittances, x, stack_matrix);
                });
}

void four_lane_forward_products(int start, int end, int K, const OneDArray<double>& wavelengths,
                                const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                                const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                                const ThreeDArray<cplx>& partial_stack_matrix) {
    const Stack partial = stack(partial_stack_matrix);
    stack_tiles(start, end, K, wavelengths.data, thicknesses.data, rows(indices), rows(admittances), x,
                stack(stack_matrix), &partial, [&](int64_t i) {
                    forward_products(static_cast<int>(i), static_cast<int>(i + 1), K, wavelengths, thicknesses,
                                     indices, admittances, x, stack_matrix, partial_stack_matrix);
                });
}

void four_lane_forward_backward(int start, int end, int K, const OneDArray<double>& wavelengths,
                                const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                                const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                                const FourDArray<cplx>& layer_matrices, const FourDArray<cplx>& derivatives) {
    if (start >= end) return;
    // Without layers the C-library kernel only writes identities.
    if (K < 1)
        return forward_backward(start, end, K, wavelengths, thicknesses, indices, admittances, x, stack_matrix,
                                layer_matrices, derivatives);
    // The tile's scratch; a redone wavelength's wave number goes to a local
    // cache, so nothing is allocated once outputs are written.
    const int width = tile_width(start, end, sizeof(Kept) * static_cast<size_t>(K));
    const Scratch kept = Scratch::required(sizeof(Kept) * width * static_cast<size_t>(K));
    alignas(16) double cache[2];
    const Sink sink{static_cast<int64_t>(end - start) * K * 128 > kStreamingBytes && aligned16(layer_matrices.data) &&
                    aligned16(derivatives.data)};
    forward_backward_tiles(start, end, K, wavelengths.data, thicknesses.data, rows(indices), rows(admittances), x,
                           stack(stack_matrix), layer_matrices, derivatives, sink, static_cast<Kept*>(kept.data()),
                           width, [&](int64_t i) {
                               forward_backward_in(static_cast<int>(i), static_cast<int>(i + 1), K, wavelengths,
                                                   thicknesses, indices, admittances, x, stack_matrix,
                                                   layer_matrices, derivatives, reinterpret_cast<cplx*>(cache));
                           });
}

void four_lane_partial_coatings(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                                const OneDArray<double>& thicknesses, const cplx* const* indices,
                                const cplx* const* admittances, cplx eta0,
                                const OneDArray<cplx>& substrate_admittances, double x,
                                const ThreeDArray<cplx>& base_matrix, int d0, cplx* const* const* records,
                                bool derivatives) {
    if (d0 < 0 || d0 >= K || start >= end) return;
    const double* e0 = parts(&eta0);
    if (!usable_incident(e0))
        return partial_coatings(start, end, N, K, wavelengths, thicknesses, indices, admittances, eta0,
                                substrate_admittances, x, base_matrix, d0, records, derivatives);
    // The tile's X_k; the C-library kernel reuses the scratch for the
    // wavelengths it redoes, so nothing is allocated once outputs are written.
    const int width = tile_width(start, end, derivatives ? sizeof(Mat4) * static_cast<size_t>(K - d0) : 0);
    const size_t vector_bytes = derivatives ? sizeof(Mat4) * width * static_cast<size_t>(K - d0) : 0;
    const size_t scalar_bytes = partial_scratch_bytes(K - d0);
    const Scratch block = Scratch::required(vector_bytes > scalar_bytes ? vector_bytes : scalar_bytes);
    // The records' bytes: 64 per layer and wavelength, and 48 per pair of
    // layers k <= j with derivatives.
    const int64_t added = K - d0, bytes = (end - start) * (64 * added + (derivatives ? 24 * added * (added + 1) : 0));
    bool aligned = true;
    for (int j = 0; j < added; ++j)
        for (int slot = 0; slot < (derivatives ? 7 : 4); ++slot) aligned = aligned && aligned16(records[j][slot]);
    const C4 eta0_v = broadcast(e0[0], e0[1]);
    const Partial q{N,
                    K,
                    d0,
                    wavelengths.data,
                    thicknesses.data,
                    rows(indices),
                    rows(admittances),
                    substrate_admittances.data,
                    _mm256_set1_pd(x * x),
                    stack(base_matrix),
                    records,
                    derivatives,
                    eta0_v,
                    cadd(eta0_v, eta0_v),
                    reciprocal(eta0_v),
                    Sink{bytes > kStreamingBytes && aligned},
                    static_cast<Mat4*>(block.data()),
                    width};
    int special[kTileBlocks];
    for_each_tile(start, end, width, [&](const Tile& tile) {
        partial_tile(q, tile, special);
        int any = 0;
        for (int m = 0; m < tile.blocks(); ++m) any |= special[m];
        if (any == 0) return;
        q.sink.fence();
        for (int m = 0; m < tile.blocks(); ++m)
            redo_marked(tile.block(m), special[m], [&](int64_t at) {
                partial_coatings_in(static_cast<int>(at), static_cast<int>(at + 1), N, K, wavelengths, thicknesses,
                                    indices, admittances, eta0, substrate_admittances, x, base_matrix, d0, records,
                                    derivatives, block.data());
            });
    });
    q.sink.fence();
}

}  // namespace sardune::transfer

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
// Memory order: the stack kernels sweep tiles of a few blocks layer by
// layer, their running products in a local buffer, so that each layer's
// rows are read as contiguous runs; the partial coatings go block by block,
// their derivative matrices in a scratch of their own.
#include <immintrin.h>

#include <cstdint>

#include "core/scratch.hpp"
#include "simd/complex_avx2.hpp"
#include "simd/sincos_avx2.hpp"
#include "transfer/transfer.hpp"

namespace sardune::transfer {

namespace {

// Blocks per tile of the stack kernels (chosen by measurement, see the
// transfer-matrix benchmark).
constexpr int kTileBlocks = 16;
constexpr int kTile = 4 * kTileBlocks;

// ---- data

// A 2x2 complex matrix, four lanes.
struct Mat4 {
    C4 m00, m01, m10, m11;
};

inline Mat4 identity4() {
    const C4 one{_mm256_set1_pd(1.0), _mm256_setzero_pd()}, zero{_mm256_setzero_pd(), _mm256_setzero_pd()};
    return {one, zero, zero, one};
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

// ---- the layer

// One layer at one block: q, sin delta, cos delta, i/eta, i eta, and the
// lanes (bit l for lane l) the formulas cannot honour.
struct LayerParts {
    C4 q, S, C, i_over_eta, i_eta;
    int special;
};

inline __m256d within(__m256d v, double lo, double hi) {
    return _mm256_and_pd(_mm256_cmp_pd(v, _mm256_set1_pd(lo), _CMP_GE_OQ),
                         _mm256_cmp_pd(v, _mm256_set1_pd(hi), _CMP_LE_OQ));
}

inline LayerParts layer_parts(const double* n_row, const double* eta_row, int count, double d, const Wave& w,
                              __m256d x2) {
    const C4 n = load_block(n_row, count), eta = load_block(eta_row, count);
    // n^2 - x^2 with x^2 off the real part only.
    const C4 nx{_mm256_fmsub_pd(n.re, n.re, _mm256_fmadd_pd(n.im, n.im, x2)),
                _mm256_mul_pd(_mm256_add_pd(n.re, n.re), n.im)};
    const C4 q = csqrt(nx);
    const __m256d a = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(d), q.re), w.kappa);
    const __m256d b = _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(d), q.im), w.kappa);
    __m256d sa, ca, ch, sh;
    sincos_pd(a, &sa, &ca);
    cosh_sinh(abs_pd(b), &ch, &sh);
    sh = _mm256_or_pd(sh, _mm256_and_pd(b, _mm256_set1_pd(-0.0)));
    const __m256d eta2 = norm2(eta);
    const __m256d inv = _mm256_div_pd(_mm256_set1_pd(1.0), eta2);

    __m256d ok = _mm256_and_pd(w.finite, within(norm2(nx), 1e-290, 1e300));
    ok = _mm256_and_pd(ok, _mm256_cmp_pd(abs_pd(a), _mm256_set1_pd(1e5), _CMP_LE_OQ));
    ok = _mm256_and_pd(ok, _mm256_cmp_pd(abs_pd(b), _mm256_set1_pd(700.0), _CMP_LE_OQ));
    ok = _mm256_and_pd(ok, within(eta2, 1e-290, 1e290));

    return {q,
            {_mm256_mul_pd(sa, ch), _mm256_mul_pd(ca, sh)},
            {_mm256_mul_pd(ca, ch), negate_pd(_mm256_mul_pd(sa, sh))},
            {_mm256_mul_pd(eta.im, inv), _mm256_mul_pd(eta.re, inv)},
            times_i(eta),
            ~_mm256_movemask_pd(ok) & 0xF};
}

// The stack-matrix layer L = [[C, u], [v, C]].
struct Terms {
    C4 C, u, v;
};

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

inline Terms stack_terms(const LayerParts& p) { return {p.C, cmul(p.S, p.i_over_eta), cmul(p.S, p.i_eta)}; }

// L = [[C, S i/eta], [S i eta, C]] and G = dL/dd = delta' [[-S, C i/eta], [C i eta, -S]],
// delta' = q 2 pi / lambda.
struct WithDerivative {
    Mat4 L, G;
};

inline WithDerivative derivative_terms(const LayerParts& p, const Wave& w) {
    const C4 dd = cscale(p.q, w.kappa);
    const C4 minus_S_dd = cneg(cmul(p.S, dd));
    return {{p.C, cmul(p.S, p.i_over_eta), cmul(p.S, p.i_eta), p.C},
            {minus_S_dd, cmul(dd, cmul(p.C, p.i_over_eta)), cmul(dd, cmul(p.C, p.i_eta)), minus_S_dd}};
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

template <class Tiled>
inline void for_each_tile(int start, int end, const Tiled& tiled) {
    for (int64_t t0 = start; t0 < end; t0 += kTile) tiled(Tile{t0, t0 + kTile < end ? t0 + kTile : end});
}

template <class Redo>
void stack_tiles(int start, int end, int K, const double* wavelengths, const double* thicknesses, Rows n, Rows eta,
                 double x, const Stack& out, const Stack* partial, const Redo& redo) {
    const __m256d x2 = _mm256_set1_pd(x * x);
    Mat4 R[kTileBlocks];
    Wave waves[kTileBlocks];
    int special[kTileBlocks];
    for_each_tile(start, end, [&](const Tile& tile) {
        for (int m = 0; m < tile.blocks(); ++m)
            R[m] = identity4(), waves[m] = wave(wavelengths, tile.block(m)), special[m] = 0;
        for (int j = 0; j < K; ++j) {
            if (partial != nullptr && j == K - 1)
                for (int m = 0; m < tile.blocks(); ++m) store_mat(*partial, tile.block(m), R[m]);
            const double d = thicknesses[j];
            for (int m = 0; m < tile.blocks(); ++m) {
                const Block b = tile.block(m);
                const LayerParts p = layer_parts(n.at(j, b.i), eta.at(j, b.i), b.count, d, waves[m], x2);
                special[m] |= p.special;
                R[m] = apply(stack_terms(p), R[m]);
            }
        }
        for (int m = 0; m < tile.blocks(); ++m) {
            store_mat(out, tile.block(m), R[m]);
            redo_marked(tile.block(m), special[m], redo);
        }
    });
}

// ---- forward-backward: per tile, one sweep up the layers forms L_j, stores
// it and stores G_j times the product of the layers below; one sweep down
// multiplies each derivative by the product of the layers above and leaves M.

template <class Redo>
void forward_backward_tiles(int start, int end, int K, const double* wavelengths, const double* thicknesses,
                            Rows n, Rows eta, double x, const Stack& out, const FourDArray<cplx>& layer_matrices,
                            const FourDArray<cplx>& derivatives, const Redo& redo) {
    const __m256d x2 = _mm256_set1_pd(x * x);
    Mat4 R[kTileBlocks];
    Wave waves[kTileBlocks];
    int special[kTileBlocks];
    for_each_tile(start, end, [&](const Tile& tile) {
        for (int m = 0; m < tile.blocks(); ++m) waves[m] = wave(wavelengths, tile.block(m)), special[m] = 0;
        // Up: R = L_{j-1} ... L_0 before layer j.
        for (int j = 0; j < K; ++j) {
            const double d = thicknesses[j];
            const Stack L_j = stack(layer_matrices, j), D_j = stack(derivatives, j);
            for (int m = 0; m < tile.blocks(); ++m) {
                const Block b = tile.block(m);
                const LayerParts p = layer_parts(n.at(j, b.i), eta.at(j, b.i), b.count, d, waves[m], x2);
                special[m] |= p.special;
                const WithDerivative layer = derivative_terms(p, waves[m]);
                store_mat(L_j, b, layer.L);
                store_mat(D_j, b, j == 0 ? layer.G : product(layer.G, R[m]));
                if (j < K - 1) R[m] = j == 0 ? layer.L : product(layer.L, R[m]);
            }
        }
        // Down: R = L_{K-1} ... L_{j+1} before layer j, M at the end.
        for (int m = 0; m < tile.blocks(); ++m) R[m] = load_mat(stack(layer_matrices, K - 1), tile.block(m));
        for (int j = K - 2; j >= 0; --j) {
            const Stack L_j = stack(layer_matrices, j), D_j = stack(derivatives, j);
            for (int m = 0; m < tile.blocks(); ++m) {
                const Block b = tile.block(m);
                store_mat(D_j, b, product(R[m], load_mat(D_j, b)));
                R[m] = product(R[m], load_mat(L_j, b));
            }
        }
        for (int m = 0; m < tile.blocks(); ++m) {
            store_mat(out, tile.block(m), R[m]);
            redo_marked(tile.block(m), special[m], redo);
        }
    });
}

// ---- partial coatings: block by block, the derivative matrices X_k of the
// block in the scratch.

// The request's scalars as the blocks use them.
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
    double* scratch;  // K - d0 matrices of four lanes
};

inline double* record_slot(const Partial& q, int j, int slot, int64_t at) {
    return parts(q.records[j - q.d0][slot] + at);
}

inline Mat4 load_scratch(const double* p) {
    return {{_mm256_load_pd(p), _mm256_load_pd(p + 4)},
            {_mm256_load_pd(p + 8), _mm256_load_pd(p + 12)},
            {_mm256_load_pd(p + 16), _mm256_load_pd(p + 20)},
            {_mm256_load_pd(p + 24), _mm256_load_pd(p + 28)}};
}
inline void store_scratch(double* p, const Mat4& m) {
    _mm256_store_pd(p, m.m00.re), _mm256_store_pd(p + 4, m.m00.im);
    _mm256_store_pd(p + 8, m.m01.re), _mm256_store_pd(p + 12, m.m01.im);
    _mm256_store_pd(p + 16, m.m10.re), _mm256_store_pd(p + 20, m.m10.im);
    _mm256_store_pd(p + 24, m.m11.re), _mm256_store_pd(p + 28, m.m11.im);
}

// c00 X00 + c11 X11 + c01 X01 + c10 X10.
struct Weights {
    C4 c00, c11, c01, c10;
};
inline C4 weigh(const Weights& w, const Mat4& X) {
    return cmuladd(w.c00, X.m00, cmuladd(w.c11, X.m11, cmuladd(w.c01, X.m01, cmul(w.c10, X.m10))));
}

// Writes the block's records and returns the lanes that need the C-library
// kernel.
int partial_block(const Partial& q, const Block& b) {
    const Wave w = wave(q.wavelengths, b);
    Mat4 M = q.d0 != 0 ? load_mat(q.base, b) : identity4();
    const C4 es = load_block(parts(q.substrate + b.i), b.count);
    const C4 P = cmul(es, q.eta0);
    const C4 two_es = cadd(es, es);
    int special = ~_mm256_movemask_pd(within(norm2(es), 1e-290, 1e290)) & 0xF;
    const C4 inv_es = reciprocal(es);
    const C4 one{_mm256_set1_pd(1.0), _mm256_setzero_pd()};
    const __m256d half = _mm256_set1_pd(0.5);

    for (int j = q.d0; j < q.K; ++j) {
        const LayerParts p = layer_parts(q.n.at(j, b.i), q.eta.at(j, b.i), b.count, q.thicknesses[j], w, q.x2);
        special |= p.special;
        const WithDerivative layer = derivative_terms(p, w);
        if (q.derivatives) store_scratch(q.scratch + 32 * static_cast<int64_t>(j - q.d0), product(layer.G, M));
        M = product(layer.L, M);

        // D = eta0 M00 + eta_s M11 + P M01 + M10, its reciprocal by scaling.
        const C4 D = cmuladd(q.eta0, M.m00, cmuladd(es, M.m11, cmuladd(P, M.m01, M.m10)));
        special |= ~_mm256_movemask_pd(within(_mm256_max_pd(abs_pd(D.re), abs_pd(D.im)), 1e-300, 1e300)) & 0xF;
        const C4 inv_D = reciprocal(D);
        const C4 t = cmul(q.two_eta0, inv_D), tb = cmul(two_es, inv_D);
        // eta0 M00 - eta_s M11 and P M01 - M10, shared by both reflections.
        const C4 diag = cmuladd(q.eta0, M.m00, cneg(cmul(es, M.m11)));
        const C4 off = cmuladd(P, M.m01, cneg(M.m10));
        const C4 r = cmul(cadd(diag, off), inv_D), rb = cmul(cadd(cneg(diag), off), inv_D);
        store_block(record_slot(q, j, 0, b.i), b.count, t);
        store_block(record_slot(q, j, 1, b.i), b.count, tb);
        store_block(record_slot(q, j, 2, b.i), b.count, r);
        store_block(record_slot(q, j, 3, b.i), b.count, rb);
        if (!q.derivatives) continue;

        // The factors -t^2/(2 eta0), t/(2 eta0), t'/(2 eta_s) folded into
        // the weights of each change.
        const C4 a_r = cmul(cscale(t, half), q.inv_eta0);
        const C4 a_t = cneg(cmul(t, a_r));
        const C4 a_rb = cmul(cscale(tb, half), inv_es);
        const C4 one_minus_r{_mm256_sub_pd(one.re, r.re), negate_pd(r.im)}, one_plus_r = cadd(one, r);
        const C4 one_minus_rb{_mm256_sub_pd(one.re, rb.re), negate_pd(rb.im)}, one_plus_rb = cadd(one, rb);
        const C4 ar_m = cmul(a_r, one_minus_r), ar_p = cmul(a_r, one_plus_r);
        const C4 arb_m = cmul(a_rb, one_minus_rb), arb_p = cmul(a_rb, one_plus_rb);
        const Weights wt{cmul(a_t, q.eta0), cmul(a_t, es), cmul(a_t, P), a_t};
        const Weights wr{cmul(ar_m, q.eta0), cneg(cmul(ar_p, es)), cmul(ar_m, P), cneg(ar_p)};
        const Weights wrb{cneg(cmul(arb_p, q.eta0)), cmul(arb_m, es), cmul(arb_m, P), cneg(arb_p)};
        for (int k = q.d0; k <= j; ++k) {
            double* const X_k = q.scratch + 32 * static_cast<int64_t>(k - q.d0);
            Mat4 X = load_scratch(X_k);
            if (k < j) {
                X = product(layer.L, X);
                store_scratch(X_k, X);
            }
            const int64_t at = static_cast<int64_t>(k - q.d0) * q.N + b.i;
            store_block(record_slot(q, j, 4, at), b.count, weigh(wt, X));
            store_block(record_slot(q, j, 5, at), b.count, weigh(wr, X));
            store_block(record_slot(q, j, 6, at), b.count, weigh(wrb, X));
        }
    }
    return special;
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
    // A redone wavelength's wave number goes to a local cache, so nothing is
    // allocated once outputs are written.
    alignas(16) double cache[2];
    forward_backward_tiles(start, end, K, wavelengths.data, thicknesses.data, rows(indices), rows(admittances), x,
                           stack(stack_matrix), layer_matrices, derivatives, [&](int64_t i) {
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
    // Four lanes of every X_k; the C-library kernel reuses it for the
    // wavelengths it redoes, so nothing is allocated once outputs are written.
    const size_t vector_bytes = sizeof(double) * 32 * (static_cast<size_t>(K - d0) + 1);
    const size_t scalar_bytes = partial_scratch_bytes(K - d0);
    const Scratch block = Scratch::required(vector_bytes > scalar_bytes ? vector_bytes : scalar_bytes);
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
                    block.doubles()};
    for (int64_t i = start; i < end; i += 4) {
        const Block b{i, static_cast<int>(end - i < 4 ? end - i : 4)};
        redo_marked(b, partial_block(q, b), [&](int64_t at) {
            partial_coatings_in(static_cast<int>(at), static_cast<int>(at + 1), N, K, wavelengths, thicknesses,
                                indices, admittances, eta0, substrate_admittances, x, base_matrix, d0, records,
                                derivatives, block.data());
        });
    }
}

}  // namespace sardune::transfer

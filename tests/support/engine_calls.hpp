// Thin adapters from the reference's Coating to the engine's C entry points,
// and the small helpers every engine test uses.
#pragma once

#include <algorithm>
#include <complex>
#include <cstring>
#include <vector>

#include "records.hpp"
#include "reference.hpp"
#include "sardune.h"

namespace calls {

// Runs a test with `threads` sharing each request, and without a pool after.
struct PoolGuard {
    explicit PoolGuard(int threads) { init(threads); }
    ~PoolGuard() { init(1); }
};

inline const sardune_complex* sc(const cplx* p) { return reinterpret_cast<const sardune_complex*>(p); }
inline sardune_complex* sc(cplx* p) { return reinterpret_cast<sardune_complex*>(p); }
inline const sardune_complex* const* sc(const cplx* const* p) {
    return reinterpret_cast<const sardune_complex* const*>(p);
}

// Matrix entry (r, c) at wavelength i of a stack of N.
inline cplx at(const std::vector<cplx>& s, int N, int r, int c, int i, int j = 0) {
    return s[(size_t(4) * j + 2 * r + c) * N + i];
}
inline ref::Mat2 mat(const std::vector<cplx>& s, int N, int i, int j = 0) {
    ref::Mat2 m;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) m.m[r][c] = at(s, N, r, c, i, j);
    return m;
}

// Outputs start as the sentinel so that untouched elements can be recognised.
inline std::vector<cplx> filled(size_t n) { return std::vector<cplx>(n, sentinel()); }
inline bool bitwise_equal(const std::vector<cplx>& a, const std::vector<cplx>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(cplx)) == 0;
}
inline bool bitwise_equal(const Record& a, const Record& b) {
    for (int s = 0; s < 7; ++s)
        if (!bitwise_equal(a.slots[s], b.slots[s])) return false;
    return true;
}
inline double max_abs(const std::vector<cplx>& v) {
    double m = 0.0;
    for (const cplx& z : v) m = std::max(m, std::abs(z));
    return m;
}
// Largest difference over the first `slots` slots, each relative to the
// slot's largest magnitude (reflections and derivatives pass through zero).
inline double worst_difference(const Record& got, const Record& want, int slots = 7) {
    double worst = 0.0;
    for (int s = 0; s < slots; ++s) {
        const double scale = std::max(max_abs(want.slots[s]), 1e-300);
        for (size_t e = 0; e < want.slots[s].size(); ++e)
            worst = std::max(worst, std::abs(got.slots[s][e] - want.slots[s][e]) / scale);
    }
    return worst;
}

// The reference coefficients of the coating at wavelength i, in double, with
// layer `varied` thicker by `shift`.
inline ref::Coefficients reference_coefficients(const ref::Coating& c, int i, int varied = -1, double shift = 0.0) {
    return ref::coefficients(c.stack(i, 0, c.K, varied, shift), c.eta0, c.substrate[i]);
}

inline int calc_M(const ref::Coating& c, std::vector<cplx>& M) {
    return ::calc_M(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), sc(c.index_rows.data()),
                    sc(c.admittance_rows.data()), c.x, sc(M.data()));
}
inline int forward(const ref::Coating& c, std::vector<cplx>& M, std::vector<cplx>& P) {
    return ::forward(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), sc(c.indices.data()),
                     sc(c.admittances.data()), c.x, sc(M.data()), sc(P.data()));
}
inline int forward_backward(const ref::Coating& c, std::vector<cplx>& M, std::vector<cplx>& L,
                            std::vector<cplx>& dM) {
    return ::forward_backward(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), sc(c.indices.data()),
                              sc(c.admittances.data()), c.x, sc(M.data()), sc(L.data()), sc(dM.data()));
}
inline int update_top_props(const ref::Coating& c, int d0, const std::vector<cplx>& base, Records& out,
                            bool derivatives) {
    return ::update_top_props(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), sc(c.index_rows.data()),
                              sc(c.admittance_rows.data()), sc(&c.eta0), sc(c.substrate.data()), c.x,
                              base.empty() ? nullptr : sc(base.data()), d0, out.table.data(), derivatives);
}
inline int real_index_scalar(const ref::Coating& c, Record& rec, bool derivatives) {
    return ::update_optiprops_real_n(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), sc(c.index_rows.data()),
                                     sc(c.admittance_rows.data()), sc(&c.eta0), sc(c.substrate.data()), c.x,
                                     rec.c(), derivatives);
}
inline int real_index_simd(const ref::Coating& c, Record& rec, bool derivatives) {
    return ::update_optiprops_real_n_simd(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(),
                                          sc(c.index_rows.data()), sc(c.admittance_rows.data()), sc(&c.eta0),
                                          sc(c.substrate.data()), c.x, rec.c(), derivatives);
}

}  // namespace calls

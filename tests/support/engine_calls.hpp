// Thin adapters from the reference's Coating to the engine's C entry points.
#pragma once

#include <complex>
#include <cstring>
#include <vector>

#include "reference.hpp"
#include "sardune.h"

namespace calls {

using cplx = std::complex<double>;

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

// Outputs start as a sentinel so that untouched elements can be recognised.
const cplx sentinel(-12345.5, 777.25);
inline std::vector<cplx> filled(size_t n) { return std::vector<cplx>(n, sentinel); }
inline bool bitwise_equal(const std::vector<cplx>& a, const std::vector<cplx>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(cplx)) == 0;
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

// Coefficient records for update_top_props: record m has four slots of N and
// three of (m + 1) N.
struct Records {
    int N, count;
    std::vector<std::vector<std::vector<cplx>>> data;  // [record][slot][element]
    std::vector<std::vector<sardune_complex*>> slots;
    std::vector<sardune_complex* const*> table;
    Records(int N_, int count_, bool growing = true) : N(N_), count(count_) {
        data.resize(count);
        slots.resize(count);
        for (int m = 0; m < count; ++m) {
            for (int s = 0; s < 7; ++s) {
                const size_t len = s < 4 ? size_t(N) : size_t(growing ? m + 1 : count) * N;
                data[m].push_back(filled(len));
            }
            for (int s = 0; s < 7; ++s) slots[m].push_back(sc(data[m][s].data()));
            table.push_back(slots[m].data());
        }
    }
    cplx value(int m, int slot, int i, int k = 0) const { return data[m][slot][size_t(k) * N + i]; }
};

inline int update_top_props(const ref::Coating& c, int d0, const std::vector<cplx>& base, Records& out,
                            bool derivatives) {
    return ::update_top_props(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), sc(c.index_rows.data()),
                              sc(c.admittance_rows.data()), sc(&c.eta0), sc(c.substrate.data()), c.x,
                              base.empty() ? nullptr : sc(base.data()), d0, out.table.data(), derivatives);
}

}  // namespace calls

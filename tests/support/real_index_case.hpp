// Test coatings of non-absorbing layers and coefficient records for the
// real-index paths, plus an independent complex-matrix reference.
#pragma once

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "sardune.h"

namespace real_index_case {

using cplx = std::complex<double>;

// A dispersive high/low stack on an absorbing substrate, seen at angle
// invariant x; every layer admittance varies with the wavelength.
struct Coating {
    int N = 0, K = 0;
    double x = 0.0;
    cplx eta0;
    std::vector<double> wavelengths, thicknesses;
    std::vector<std::vector<cplx>> indices, admittances;  // [j][i]
    std::vector<cplx> substrate;
    std::vector<const cplx*> index_rows, admittance_rows;

    Coating(int n, int k, unsigned seed = 1, double x_ = 0.35) : N(n), K(k), x(x_) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        wavelengths.resize(N);
        for (int i = 0; i < N; ++i) wavelengths[i] = 400.0 + 500.0 * (N > 1 ? double(i) / (N - 1) : 0.5) + 0.1 * u(rng);
        eta0 = std::sqrt(cplx(1.0 - x * x, 0.0));
        for (int i = 0; i < N; ++i) {
            const double l = wavelengths[i] / 1000.0;
            const double ns = 1.52 + 0.004 / (l * l);
            substrate.push_back(cplx(std::sqrt(ns * ns - x * x), 0.002 + 0.001 * l));
        }
        indices.assign(K, std::vector<cplx>(N));
        admittances.assign(K, std::vector<cplx>(N));
        for (int j = 0; j < K; ++j) {
            const double n0 = (j % 2 == 0) ? 2.3 : 1.45, disp = (j % 2 == 0) ? 0.03 : 0.004;
            thicknesses.push_back(550.0 / (4.0 * n0) * (0.6 + 0.8 * u(rng)));
            for (int i = 0; i < N; ++i) {
                const double l = wavelengths[i] / 1000.0, n = n0 + disp / (l * l);
                indices[j][i] = cplx(n, 0.0);
                admittances[j][i] = cplx(std::sqrt(n * n - x * x), 0.0);
            }
        }
        rebind();
    }
    void rebind() {
        index_rows.clear();
        admittance_rows.clear();
        for (int j = 0; j < K; ++j) {
            index_rows.push_back(indices[j].data());
            admittance_rows.push_back(admittances[j].data());
        }
    }
    // The same coating with layer j taken out.
    Coating without_layer(int j) const {
        Coating c = *this;
        --c.K;
        c.indices.erase(c.indices.begin() + j);
        c.admittances.erase(c.admittances.begin() + j);
        c.thicknesses.erase(c.thicknesses.begin() + j);
        c.rebind();
        return c;
    }
    const sardune_complex* const* c_indices() const {
        return reinterpret_cast<const sardune_complex* const*>(index_rows.data());
    }
    const sardune_complex* const* c_admittances() const {
        return reinterpret_cast<const sardune_complex* const*>(admittance_rows.data());
    }
    const sardune_complex* c_eta0() const { return reinterpret_cast<const sardune_complex*>(&eta0); }
    const sardune_complex* c_substrate() const {
        return reinterpret_cast<const sardune_complex*>(substrate.data());
    }
};

// Seven output slots, prefilled with a sentinel that no computation yields.
struct Record {
    static cplx sentinel() { return cplx(-12345.0, 6789.0); }
    int N, K;
    std::array<std::vector<cplx>, 7> slots;
    std::array<cplx*, 7> pointers;

    // pad: extra sentinel elements after each slot, to catch writes past it.
    Record(int n, int k, int pad = 0) : N(n), K(k) {
        for (int s = 0; s < 7; ++s) {
            slots[s].assign((s < 4 ? std::max(N, 0) : size_t(std::max(K, 0)) * std::max(N, 0)) + pad, sentinel());
            pointers[s] = slots[s].data();
        }
    }
    cplx& at(int slot, int i, int k = 0) { return slots[slot][size_t(k) * N + i]; }
    cplx* const* raw() { return pointers.data(); }
    sardune_complex* const* c() { return reinterpret_cast<sardune_complex* const*>(pointers.data()); }
    bool untouched(int slot) const {
        for (const cplx& v : slots[slot])
            if (v != sentinel()) return false;
        return true;
    }
};

// Coefficients at wavelength i by plain complex 2x2 products.
struct Coefficients {
    cplx t, tb, r, rb;
};
inline Coefficients reference(const Coating& c, int i, const std::vector<double>& d) {
    using M2 = std::array<cplx, 4>;
    M2 M{1.0, 0.0, 0.0, 1.0};
    const cplx I(0.0, 1.0);
    for (int j = 0; j < c.K; ++j) {
        const double n = c.indices[j][i].real(), eta = c.admittances[j][i].real();
        const cplx delta = (2.0 * M_PI / c.wavelengths[i]) * d[j] * std::sqrt(cplx(n * n - c.x * c.x, 0.0));
        const M2 L{std::cos(delta), I * std::sin(delta) / eta, I * eta * std::sin(delta), std::cos(delta)};
        M = M2{L[0] * M[0] + L[1] * M[2], L[0] * M[1] + L[1] * M[3], L[2] * M[0] + L[3] * M[2],
               L[2] * M[1] + L[3] * M[3]};
    }
    const cplx e0 = c.eta0, es = c.substrate[i];
    const cplx D = e0 * M[0] + es * M[3] + e0 * es * M[1] + M[2];
    return {2.0 * e0 / D, 2.0 * es / D, (e0 * M[0] - es * M[3] + e0 * es * M[1] - M[2]) / D,
            (es * M[3] - e0 * M[0] + e0 * es * M[1] - M[2]) / D};
}
inline Coefficients reference(const Coating& c, int i) { return reference(c, i, c.thicknesses); }

inline double max_abs(const std::vector<cplx>& v) {
    double m = 0.0;
    for (const cplx& z : v) m = std::max(m, std::abs(z));
    return m;
}

}  // namespace real_index_case

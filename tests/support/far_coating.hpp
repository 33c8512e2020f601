// A request of INT_MAX wavelengths of which only the last few carry data
// (those of a small test coating), on sparsely mapped arrays: range kernels
// called on its last columns reach positions, and record offsets k N + i,
// beyond 2^31.
#pragma once

#include <array>
#include <climits>
#include <complex>
#include <cstdint>
#include <vector>

#include "reference.hpp"
#include "sparse_array.hpp"

struct FarCoating {
    using cplx = std::complex<double>;
    static constexpr int N = INT_MAX;
    static constexpr int64_t n = N;
    const ref::Coating& small;
    const int64_t first;  // column of the small coating's wavelength 0
    Sparse<double> wavelengths, thicknesses;
    Sparse<cplx> indices, admittances, substrate;
    std::array<Sparse<cplx>, 7> slots;
    std::vector<const cplx*> index_rows, admittance_rows;
    std::array<cplx*, 7> record;

    explicit FarCoating(const ref::Coating& c)
        : small(c),
          first(n - c.N),
          wavelengths(n),
          thicknesses(c.K),
          indices(c.K * n),
          admittances(c.K * n),
          substrate(n),
          slots{Sparse<cplx>(n), Sparse<cplx>(n), Sparse<cplx>(n), Sparse<cplx>(n), Sparse<cplx>(c.K * n),
                Sparse<cplx>(c.K * n), Sparse<cplx>(c.K * n)} {
        if (!mapped()) return;
        for (int j = 0; j < c.K; ++j) {
            thicknesses.data()[j] = c.thicknesses[j];
            index_rows.push_back(indices.data() + j * n);
            admittance_rows.push_back(admittances.data() + j * n);
            for (int i = 0; i < c.N; ++i) {
                indices.data()[j * n + first + i] = c.n(j, i);
                admittances.data()[j * n + first + i] = c.eta(j, i);
            }
        }
        for (int i = 0; i < c.N; ++i) {
            wavelengths.data()[first + i] = c.wavelengths[i];
            substrate.data()[first + i] = c.substrate[i];
        }
        for (int s = 0; s < 7; ++s) record[s] = slots[s].data();
    }

    bool mapped() const {
        bool all = wavelengths.data() && thicknesses.data() && indices.data() && admittances.data() && substrate.data();
        for (const auto& s : slots) all = all && s.data();
        return all;
    }
    // Slot s at the small coating's wavelength i (block k for slots 4 to 6).
    cplx at(int s, int i, int k = 0) const { return record[s][k * n + first + i]; }
};

// The vector path for real-index coefficients: the selector between the
// four-lane kernel and the scalar algorithm, and the entry point that shares
// large requests with the worker pool in chunks of multiples of four.
#include <algorithm>
#include <cstdint>

#include "frame.hpp"
#include "real_index.hpp"

namespace {

// Fixed at load, before any export can be called. The four-lane kernel runs
// FMA instructions as well as AVX2, so the selection demands FMA3 too: a
// processor with AVX2 but without FMA must never reach the kernel.
bool avx2_supported = instrset_detect() >= 8 && hasFMA3();

// Everything one piece of a request needs, copied into every pool task.
struct Piece {
    int N, K;
    const double* wavelengths;
    const double* thicknesses;
    const cplx* const* indices;
    const cplx* const* admittances;
    cplx eta0;
    const cplx* substrate;
    double x;
    cplx* const* record;
    bool derivatives;

    void vector(RequestStatus& status, int start, int end) const {
        status.run([this](int s, int e) {
            update_optiprops_real_n_simd_(s, e, N, K, wavelengths, thicknesses, indices, admittances, eta0,
                                          substrate, x, record, derivatives);
        }, start, end);
    }
    // Ranges too short for a four-wavelength block of their own.
    void scalar(RequestStatus& status, int start, int end) const {
        const int code = real_index_columns_request(start, end, N, K, wavelengths, thicknesses, indices,
                                                    admittances, eta0, substrate, x, record, derivatives);
        if (code != SARDUNE_OK) status.fail(code);
    }
};

}  // namespace

bool real_index_uses_avx2() { return avx2_supported; }

RealIndexPartition partition_real_index(int N, int64_t threads) {
    const int64_t c = std::min<int64_t>((static_cast<uint32_t>(N) + 127u) >> 7, std::max<int64_t>(threads, 1));
    const int64_t L = ((N + c - 1) / c + 3) / 4 * 4;
    return {static_cast<int>(c), static_cast<int>(L), static_cast<int>(std::min<int64_t>((c - 1) * L, N))};
}

void update_optiprops_real_n_simd_(int start, int end, int N, int K, const double* wavelengths,
                                   const double* thicknesses, const cplx* const* indices,
                                   const cplx* const* admittances, cplx eta0,
                                   const cplx* substrate_admittances, double x, cplx* const* record,
                                   bool derivatives) {
    if (K < 0 || start >= end) return;
    // The kernel needs a whole block below end; shorter requests stay scalar.
    if (avx2_supported && end >= 4) {
        update_optiprops_real_n_simd_avx(start, end, N, K, wavelengths, thicknesses, indices, admittances, eta0,
                                         substrate_admittances, x, record, derivatives);
        return;
    }
    if (K == 0) return;
    double* scratch = static_cast<double*>(scratch_alloc(static_cast<size_t>(K) * 4 * sizeof(double)));
    real_index_columns(start, end, N, K, wavelengths, thicknesses, indices, admittances, eta0,
                       substrate_admittances, x, record, derivatives, scratch);
    scratch_free(scratch);
}

extern "C" SARDUNE_API int update_optiprops_real_n_simd(
    int N, int K, const double* wavelengths, const double* thicknesses,
    const sardune_complex* const* indices, const sardune_complex* const* admittances,
    const sardune_complex* incident_admittance, const sardune_complex* substrate_admittances, double x,
    sardune_complex* const* record, bool derivatives) {
    if (K < 0) return SARDUNE_ERR_INVALID_REQUEST;
    if (N <= 3)
        return update_optiprops_real_n(N, K, wavelengths, thicknesses, indices, admittances, incident_admittance,
                                       substrate_admittances, x, record, derivatives);
    const Piece piece{N,
                      K,
                      wavelengths,
                      thicknesses,
                      reinterpret_cast<const cplx* const*>(indices),
                      reinterpret_cast<const cplx* const*>(admittances),
                      cplx(incident_admittance->re, incident_admittance->im),
                      reinterpret_cast<const cplx*>(substrate_admittances),
                      x,
                      reinterpret_cast<cplx* const*>(record),
                      switch_is_set(derivatives)};
    RequestStatus status;
    ThreadPool* const workers = N > 128 ? pool.get() : nullptr;
    if (workers == nullptr) {
        piece.vector(status, 0, N);
        return status.code();
    }

    // Chunks are clipped to N: from 34 threads on the last ones could reach
    // past the end, and a clipped chunk too short for a block goes scalar.
    const RealIndexPartition part =
        partition_real_index(N, static_cast<int64_t>(std::min<unsigned long>(workers->size(), INT32_MAX)) + 1);
    bool handed_out = true;
    for (int m = 0; m < part.chunks - 1; ++m) {
        const int64_t lo = static_cast<int64_t>(m) * part.length;
        if (lo >= N) break;
        const int start = static_cast<int>(lo), end = static_cast<int>(std::min<int64_t>(lo + part.length, N));
        try {
            workers->enqueue([piece, &status, start, end] {
                if (end - start >= 4)
                    piece.vector(status, start, end);
                else
                    piece.scalar(status, start, end);
            });
        } catch (...) {
            status.fail(SARDUNE_ERR_OUT_OF_MEMORY);
            handed_out = false;
            break;
        }
    }
    // A request that could not hand out every chunk has failed already.
    if (handed_out) {
        const int rem = N - part.caller_start;
        if (rem > 4)
            piece.vector(status, part.caller_start, N);
        else if (rem >= 1)
            piece.scalar(status, part.caller_start, N);
    }
    workers->wait();
    return status.code();
}

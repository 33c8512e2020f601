// Internals of the real-index coefficient paths shared by the scalar unit, the
// selector unit and the tests.
#pragma once

#include <cstdint>

#include "kernels.hpp"

// The scalar algorithm for the wavelengths [start, end), written at their own
// columns (slots 4 to 6 at [k*N + i]). scratch: 4*K doubles, contents unused.
// Writes nothing when K <= 0 or the range is empty.
void real_index_columns(int start, int end, int N, int K, const double* wavelengths,
                        const double* thicknesses, const cplx* const* indices,
                        const cplx* const* admittances, cplx eta0,
                        const cplx* substrate_admittances, double x, cplx* const* record,
                        bool derivatives, double* scratch);

// The same with a scratch of its own. Returns SARDUNE_ERR_INVALID_REQUEST for
// K < 0 (touching nothing) and SARDUNE_ERR_OUT_OF_MEMORY when the scratch
// cannot be had; never throws.
int real_index_columns_request(int start, int end, int N, int K, const double* wavelengths,
                               const double* thicknesses, const cplx* const* indices,
                               const cplx* const* admittances, cplx eta0,
                               const cplx* substrate_admittances, double x,
                               cplx* const* record, bool derivatives) noexcept;

// How update_optiprops_real_n_simd shares a request of N > 128 wavelengths
// among T threads: chunks of `length` (a multiple of 4) for the pool, the
// rest from caller_start on for the calling thread.
struct RealIndexPartition {
    int chunks;
    int length;
    int caller_start;
};
RealIndexPartition partition_real_index(int N, int64_t threads);

// The derivative switch of a C caller: any nonzero byte means true.
bool switch_is_set(bool derivatives);

// Whether the selector hands its ranges to the four-lane kernel.
bool real_index_uses_avx2();

// The real-index family: coefficients (and their thickness derivatives) of a
// coating of non-absorbing layers, with every layer matrix and product
// [[a, i b], [i c, d]] kept as four reals. The scalar algorithm, the
// four-lane kernel and the selector between them (sharing.hpp: how a
// request is shared with the pool).
#pragma once

#include "optics/optics.hpp"

namespace sardune::real_index {

// One request as every path sees it. Only the real parts of the layer
// indices and admittances are read. The record's slots 0 to 3 hold N values
// ([i]), slots 4 to 6 K blocks of N ([k*N + i]); N is also the stride when a
// path computes only part of [0, N).
struct Request {
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
};

// ---- range kernels; their one failure is std::bad_alloc, before anything
// of the range is written. With K = 0 they write the bare boundary's
// coefficients; with K < 0 nothing. Derivatives cost O(K) per wavelength.

// The scalar algorithm for [start, end) at the range's own columns. The
// caller's scratch of 4*K doubles is not used: derivatives take a scratch of
// their own.
void scalar_columns(const Request& q, int start, int end, double* scratch);
// The same; the form the request layer and the baseline build call.
void scalar_range(const Request& q, int start, int end);
// Four wavelengths per block (AVX2 with FMA); reads and writes
// [min(start, end - 4), end). Outside K >= 0, 0 <= start < end <= N,
// end >= 4 it does nothing.
void four_lane(const Request& q, int start, int end);
// The same blocks, writing only the columns of [start, end): a range of
// fewer than four wavelengths is computed in the block that ends with it.
// A wavelength's results do not depend on its place in a block.
void four_lane_within(const Request& q, int start, int end);
// four_lane_within where the range ends at 4 or later, else the scalar one.
void four_lane_or_scalar(const Request& q, int start, int end);
// The build this processor runs (through the dispatch table); writes only
// the range's columns.
void selected(const Request& q, int start, int end);

// ---- requests, returning the status

// The whole request on the calling thread with the scalar algorithm.
int on_calling_thread(const Request& q) noexcept;
// Four or more wavelengths through the selected build, shared with the pool
// from 129 wavelengths on; fewer go to on_calling_thread. Every column is
// the same for any pool size.
int shared(const Request& q) noexcept;

}  // namespace sardune::real_index

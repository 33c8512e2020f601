// Internal declarations of the engine's kernels and processor detection.
// Everything marked SARDUNE_API is exported (mangled C++ names); the rest is
// hidden and shared between the engine's own units.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sardune.h"
#include "views.hpp"

// ---- transfer-matrix kernels: one half-open wavelength range [start, end)

SARDUNE_API void calc_M_(int start, int end, int K, const OneDArray<double>& wavelengths,
                         const OneDArray<double>& thicknesses, const cplx* const* indices,
                         const cplx* const* admittances, double x,
                         const ThreeDArray<cplx>& stack_matrix);

SARDUNE_API void forward_(int start, int end, int K, const OneDArray<double>& wavelengths,
                          const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                          const TwoDArray<cplx>& admittances, double x,
                          const ThreeDArray<cplx>& stack_matrix,
                          const ThreeDArray<cplx>& partial_stack_matrix);

// With K < 1 the range's stack matrix becomes the identity and nothing else
// is touched. Throws std::bad_alloc (before writing) if its cache cannot be
// allocated.
SARDUNE_API void forward_backward_(int start, int end, int K, const OneDArray<double>& wavelengths,
                                   const OneDArray<double>& thicknesses,
                                   const TwoDArray<cplx>& indices,
                                   const TwoDArray<cplx>& admittances, double x,
                                   const ThreeDArray<cplx>& stack_matrix,
                                   const FourDArray<cplx>& layer_matrices,
                                   const FourDArray<cplx>& derivatives);

// ---- coefficient kernels

// N is the stride of record slots 4 to 6. Requires 0 <= d0 <= K.
SARDUNE_API void update_top_props_(int start, int end, int N, int K,
                                   const OneDArray<double>& wavelengths,
                                   const OneDArray<double>& thicknesses,
                                   const cplx* const* indices, const cplx* const* admittances,
                                   cplx eta0, const OneDArray<cplx>& substrate_admittances,
                                   double x, const ThreeDArray<cplx>& base_matrix, int d0,
                                   cplx* const* const* records, bool derivatives);

// All wavelengths [0, N); scratch is 4*K zero-filled doubles.
SARDUNE_API void update_optiprops_real_n_(int N, int K, const double* wavelengths,
                                          const double* thicknesses, const cplx* const* indices,
                                          const cplx* const* admittances, cplx eta0,
                                          const cplx* substrate_admittances, double x,
                                          cplx* const* record, bool derivatives, double* scratch);

// Selector: the four-lane kernel where the processor allows, else the scalar
// algorithm at the range's own columns. N is the stride of slots 4 to 6.
SARDUNE_API void update_optiprops_real_n_simd_(int start, int end, int N, int K,
                                               const double* wavelengths,
                                               const double* thicknesses,
                                               const cplx* const* indices,
                                               const cplx* const* admittances, cplx eta0,
                                               const cplx* substrate_admittances, double x,
                                               cplx* const* record, bool derivatives);

// Four wavelengths per block; reads and writes [min(start, end - 4), end).
// Requires K >= 0, 0 <= start, end <= N, end >= 4, AVX2 and FMA.
SARDUNE_API void update_optiprops_real_n_simd_avx(int start, int end, int N, int K,
                                                  const double* wavelengths,
                                                  const double* thicknesses,
                                                  const cplx* const* indices,
                                                  const cplx* const* admittances, cplx eta0,
                                                  const cplx* substrate_admittances, double x,
                                                  cplx* const* record, bool derivatives);

// ---- processor detection

SARDUNE_API int instrset_detect();
SARDUNE_API bool hasFMA3();
SARDUNE_API bool hasFMA4();
SARDUNE_API bool hasXOP();
SARDUNE_API bool hasF16C();
SARDUNE_API bool hasAVX512ER();
SARDUNE_API bool hasAVX512VBMI();
SARDUNE_API bool hasAVX512VBMI2();
SARDUNE_API bool hasAVX512FP16();

// ---- scratch memory, served from a baseline unit so that the vector units
// instantiate no library templates of their own (their copies could be the
// ones the linker keeps, and run on a processor without AVX2).

// Zero-filled and 64-byte aligned; throws std::bad_alloc.
void* scratch_alloc(size_t bytes);
// Zero-filled and 64-byte aligned; nullptr on failure.
void* scratch_try_alloc(size_t bytes) noexcept;
void scratch_free(void* p) noexcept;

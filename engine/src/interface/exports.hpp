// The engine's exported C++ names: the kernels of the entry points and the
// processor detection, under their global mangled names (the plain C entry
// points are in sardune.h). Each one hands over to its family; nothing inside
// the library calls these names, so an application that defines the same
// names itself changes nothing in the engine.
#pragma once

#include "core/views.hpp"
#include "optics/optics.hpp"
#include "sardune.h"

// ---- transfer-matrix kernels: one half-open wavelength range [start, end)

SARDUNE_API void calc_M_(int start, int end, int K, const OneDArray<double>& wavelengths,
                         const OneDArray<double>& thicknesses, const sardune::cplx* const* indices,
                         const sardune::cplx* const* admittances, double x,
                         const ThreeDArray<sardune::cplx>& stack_matrix);

SARDUNE_API void forward_(int start, int end, int K, const OneDArray<double>& wavelengths,
                          const OneDArray<double>& thicknesses, const TwoDArray<sardune::cplx>& indices,
                          const TwoDArray<sardune::cplx>& admittances, double x,
                          const ThreeDArray<sardune::cplx>& stack_matrix,
                          const ThreeDArray<sardune::cplx>& partial_stack_matrix);

// With K < 1 the range's stack matrix becomes the identity and nothing else
// is touched. Throws std::bad_alloc (before writing) if its cache cannot be
// allocated.
SARDUNE_API void forward_backward_(int start, int end, int K, const OneDArray<double>& wavelengths,
                                   const OneDArray<double>& thicknesses,
                                   const TwoDArray<sardune::cplx>& indices,
                                   const TwoDArray<sardune::cplx>& admittances, double x,
                                   const ThreeDArray<sardune::cplx>& stack_matrix,
                                   const FourDArray<sardune::cplx>& layer_matrices,
                                   const FourDArray<sardune::cplx>& derivatives);

// ---- coefficient kernels

// N is the stride of record slots 4 to 6. Does nothing unless 0 <= d0 < K.
// Throws std::bad_alloc (before writing) if its scratch cannot be allocated.
SARDUNE_API void update_top_props_(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                                   const OneDArray<double>& thicknesses, const sardune::cplx* const* indices,
                                   const sardune::cplx* const* admittances, sardune::cplx eta0,
                                   const OneDArray<sardune::cplx>& substrate_admittances, double x,
                                   const ThreeDArray<sardune::cplx>& base_matrix, int d0,
                                   sardune::cplx* const* const* records, bool derivatives);

// All wavelengths [0, N); K = 0 gives the bare boundary. `scratch` (4*K
// doubles, as callers have always passed it) is no longer used: derivatives
// take a scratch of their own and throw std::bad_alloc (before writing) if
// it cannot be allocated.
SARDUNE_API void update_optiprops_real_n_(int N, int K, const double* wavelengths, const double* thicknesses,
                                          const sardune::cplx* const* indices,
                                          const sardune::cplx* const* admittances, sardune::cplx eta0,
                                          const sardune::cplx* substrate_admittances, double x,
                                          sardune::cplx* const* record, bool derivatives, double* scratch);

// Selector: the four-lane kernel where the processor allows, else the scalar
// algorithm; either writes only the range's own columns, with the same
// values whatever the range. N is the stride of slots 4 to 6. Throws
// std::bad_alloc if its scratch cannot be allocated.
SARDUNE_API void update_optiprops_real_n_simd_(int start, int end, int N, int K, const double* wavelengths,
                                               const double* thicknesses, const sardune::cplx* const* indices,
                                               const sardune::cplx* const* admittances, sardune::cplx eta0,
                                               const sardune::cplx* substrate_admittances, double x,
                                               sardune::cplx* const* record, bool derivatives);

// Four wavelengths per block; reads and writes [min(start, end - 4), end).
// Requires K >= 0, 0 <= start, end <= N, end >= 4, AVX2 and FMA. Throws
// std::bad_alloc if its scratch cannot be allocated.
SARDUNE_API void update_optiprops_real_n_simd_avx(int start, int end, int N, int K, const double* wavelengths,
                                                  const double* thicknesses, const sardune::cplx* const* indices,
                                                  const sardune::cplx* const* admittances, sardune::cplx eta0,
                                                  const sardune::cplx* substrate_admittances, double x,
                                                  sardune::cplx* const* record, bool derivatives);

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

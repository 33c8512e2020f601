// The transfer-matrix family: stack matrices over a wavelength range, their
// forward partial products, the thickness derivatives by a forward and a
// backward sweep, the coefficients of partial coatings, and the batched
// product of matrix stacks. Every range kernel computes the half-open
// wavelength range [start, end) and writes only its columns; the only
// failure that leaves one is std::bad_alloc, thrown before any output is
// written.
#pragma once

#include <cstddef>

#include "core/views.hpp"
#include "optics/optics.hpp"

namespace sardune::transfer {

// M = L_{K-1} ... L_0 per wavelength; K <= 0 gives the identity.
void stack_matrices(int start, int end, int K, const OneDArray<double>& wavelengths,
                    const OneDArray<double>& thicknesses, const cplx* const* indices,
                    const cplx* const* admittances, double x, const ThreeDArray<cplx>& stack_matrix);

// M and the partial product of all layers but the outermost (written only
// when K >= 1), accumulated layer by layer in the caller's stack matrix.
void forward_products(int start, int end, int K, const OneDArray<double>& wavelengths,
                      const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                      const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                      const ThreeDArray<cplx>& partial_stack_matrix);

// M, every layer matrix and every dM/dd_j. With K < 1 the range's stack
// matrix becomes the identity and nothing else is touched.
void forward_backward(int start, int end, int K, const OneDArray<double>& wavelengths,
                      const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                      const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                      const FourDArray<cplx>& layer_matrices, const FourDArray<cplx>& derivatives);

// The same for K >= 1 with the caller's cache of end - start values;
// allocates nothing.
void forward_backward_in(int start, int end, int K, const OneDArray<double>& wavelengths,
                         const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                         const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                         const FourDArray<cplx>& layer_matrices, const FourDArray<cplx>& derivatives, cplx* cache);

// Coefficient records of the partial coatings ending with layers d0 .. K-1
// on top of a base matrix. N is the stride of record slots 4 to 6; outside
// 0 <= d0 < K nothing is done.
void partial_coatings(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                      const OneDArray<double>& thicknesses, const cplx* const* indices,
                      const cplx* const* admittances, cplx eta0, const OneDArray<cplx>& substrate_admittances,
                      double x, const ThreeDArray<cplx>& base_matrix, int d0, cplx* const* const* records,
                      bool derivatives);

// The same on the caller's scratch of partial_scratch_bytes(K - d0) bytes,
// 64-byte aligned; allocates nothing.
void partial_coatings_in(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                         const OneDArray<double>& thicknesses, const cplx* const* indices,
                         const cplx* const* admittances, cplx eta0, const OneDArray<cplx>& substrate_admittances,
                         double x, const ThreeDArray<cplx>& base_matrix, int d0, cplx* const* const* records,
                         bool derivatives, void* scratch);
size_t partial_scratch_bytes(int added);

// result = stacks[count-1] ... stacks[0] per wavelength of [start, end), each
// stack N wavelengths long.
void multiply_stacks(int start, int end, int count, int N, const cplx* const* stacks, cplx* result);

// ---- the four-lane builds (AVX2 with FMA) of the first four: the same
// contracts, four wavelengths per vector, the sine, cosine, exponential and
// square root of their own. A range is cut into blocks of four from its
// start; a range's last block, when shorter, is padded with copies of its
// last wavelength, so that every wavelength is computed by the same vector
// code whatever range holds it.
//
// A wavelength the vector formulas cannot honour exactly is computed again,
// whole, by the C-library kernel above, so that it keeps the standard
// handling of infinities and NaNs; the other lanes of its block stay as the
// vector code left them. That is a wavelength where, in some layer, an
// input is not finite (index, admittance, wavelength, thickness, x),
// |Re delta| exceeds the vector sine-cosine's range (1e5), |Im delta| the
// exponential's (700), |n^2 - x^2|^2 lies outside [1e-290, 1e300] or
// |eta|^2 outside [1e-290, 1e290] (a zero admittance among them); for the partial coatings
// also where D or the substrate admittance is zero, not finite or too large
// for the scaled reciprocal. An incident admittance outside [1e-145, 1e145]
// leaves the whole request to the C-library kernel.

void four_lane_stack_matrices(int start, int end, int K, const OneDArray<double>& wavelengths,
                              const OneDArray<double>& thicknesses, const cplx* const* indices,
                              const cplx* const* admittances, double x, const ThreeDArray<cplx>& stack_matrix);
void four_lane_forward_products(int start, int end, int K, const OneDArray<double>& wavelengths,
                                const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                                const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                                const ThreeDArray<cplx>& partial_stack_matrix);
void four_lane_forward_backward(int start, int end, int K, const OneDArray<double>& wavelengths,
                                const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                                const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                                const FourDArray<cplx>& layer_matrices, const FourDArray<cplx>& derivatives);
void four_lane_partial_coatings(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                                const OneDArray<double>& thicknesses, const cplx* const* indices,
                                const cplx* const* admittances, cplx eta0,
                                const OneDArray<cplx>& substrate_admittances, double x,
                                const ThreeDArray<cplx>& base_matrix, int d0, cplx* const* const* records,
                                bool derivatives);

}  // namespace sardune::transfer

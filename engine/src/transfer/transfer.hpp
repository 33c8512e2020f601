// The transfer-matrix family: stack matrices over a wavelength range, their
// forward partial products, the thickness derivatives by a forward and a
// backward sweep, the coefficients of partial coatings, and the batched
// product of matrix stacks. Every range kernel computes the half-open
// wavelength range [start, end) and writes only its columns; the only
// failure that leaves one is std::bad_alloc, thrown before any output is
// written.
#pragma once

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

// Coefficient records of the partial coatings ending with layers d0 .. K-1
// on top of a base matrix. N is the stride of record slots 4 to 6; outside
// 0 <= d0 < K nothing is done.
void partial_coatings(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                      const OneDArray<double>& thicknesses, const cplx* const* indices,
                      const cplx* const* admittances, cplx eta0, const OneDArray<cplx>& substrate_admittances,
                      double x, const ThreeDArray<cplx>& base_matrix, int d0, cplx* const* const* records,
                      bool derivatives);

// result = stacks[count-1] ... stacks[0] per wavelength of [start, end), each
// stack N wavelengths long.
void multiply_stacks(int start, int end, int count, int N, const cplx* const* stacks, cplx* result);

}  // namespace sardune::transfer

// The real-index scalar algorithm as it was before its derivatives became
// linear in the layer count: every layer moves all earlier derivative
// matrices up by its own matrix, K (K - 1) / 2 updates per wavelength. Kept
// in double, with the same operations in the same order, as the reference
// that the linear sweep must reproduce to rounding.
#pragma once

#include <complex>

#include "reference.hpp"

namespace ref {

// Writes the coating's record (slots 0 to 3 of N, slots 4 to 6 of K blocks
// of N when `derivatives`); nothing for K <= 0.
void real_index_quadratic(const Coating& c, std::complex<double>* const* record, bool derivatives);

}  // namespace ref

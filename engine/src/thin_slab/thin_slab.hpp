// The thin-slab family: first-order changes of t, r and r' per unit
// thickness when a thin slab of another material replaces the host layer at
// each position, in single precision, in two builds over one kernel
// (kernel.hpp). Each returns the request's status.
#pragma once

#include "sardune.h"

namespace sardune::thin_slab {

// 4 wavelengths per block, every operation rounded on its own (any x86-64).
int sse2(SARDUNE_CALC_V_T_TAU_PARAMS);
// 8 wavelengths per block with fused multiply-adds (AVX2 and FMA3 only).
int avx2(SARDUNE_CALC_V_T_TAU_PARAMS);

}  // namespace sardune::thin_slab

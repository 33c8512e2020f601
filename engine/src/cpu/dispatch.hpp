// The dispatch table: which build of each vectorised family this process
// runs. It is filled once, from cpu_has_avx2_fma() alone, and stays the same
// for the life of the process.
#pragma once

#include "sardune.h"
#include "transfer/transfer.hpp"

namespace sardune {

namespace real_index {
struct Request;
}

struct Builds {
    bool avx2_fma;     // whether these are the AVX2/FMA builds
    const char* name;  // what sardune_implementation() reports for them
    // Transfer-matrix range kernels (transfer/transfer.hpp).
    decltype(&transfer::stack_matrices) stack_matrices;
    decltype(&transfer::forward_products) forward_products;
    decltype(&transfer::forward_backward) forward_backward;
    decltype(&transfer::partial_coatings) partial_coatings;
    // Real-index coefficients for a range (throws std::bad_alloc).
    void (*real_index)(const real_index::Request& q, int start, int end);
    // Thin-slab variations, a whole request (returns its status).
    int (*thin_slab)(SARDUNE_CALC_V_T_TAU_PARAMS);
};

// AVX2 (instruction-set level 8 or more) together with FMA3: the vector
// builds execute fused multiply-adds too, so a processor with AVX2 but
// without FMA must never reach them.
bool cpu_has_avx2_fma() noexcept;

const Builds& builds() noexcept;

namespace testing {
// For the test programs only (not exported, no environment variable, no
// public setting): run the baseline builds from now on, or the detected ones
// again, so that a machine with AVX2 checks the fallback path too.
// sardune_implementation() follows: it names the builds that requests run.
void use_baseline_builds(bool baseline) noexcept;
}  // namespace testing

}  // namespace sardune

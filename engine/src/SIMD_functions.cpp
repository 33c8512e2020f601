// Entry point of the thin-slab variations: picks the build for this processor
// once, at library load.
#include "kernels.hpp"

namespace {
// The 256-bit build executes fused multiply-add instructions as well as AVX2,
// so it is chosen only when the processor has both: one with AVX2 but without
// FMA3 runs the SSE2 build. Set once by this static initialiser, which runs
// after the real-index selector's (link order), so detection has already
// filled its cache.
const bool avx2_supported = instrset_detect() >= 8 && hasFMA3();
}  // namespace

int calc_v_t_tau(SARDUNE_CALC_V_T_TAU_PARAMS) {
    if (avx2_supported)
        return calc_v_t_tau_avx(N, n_z, front_matrix, back_matrix, host_indices, host_admittances, x,
                                slab_indices, positions, slab_admittances, wavelengths,
                                incident_admittance, substrate_admittances, t, t_back, r, r_back,
                                dt, dr, dr_back);
    return calc_v_t_tau_sse(N, n_z, front_matrix, back_matrix, host_indices, host_admittances, x,
                            slab_indices, positions, slab_admittances, wavelengths,
                            incident_admittance, substrate_admittances, t, t_back, r, r_back, dt,
                            dr, dr_back);
}

// Thin-slab variations, SSE2 build: 4 wavelengths per block, every operation
// rounded on its own. Runs on every x86-64 processor.
#include "simd/vecmath_sse2.hpp"
#include "thin_slab/kernel.hpp"
#include "thin_slab/thin_slab.hpp"

int sardune::thin_slab::sse2(SARDUNE_CALC_V_T_TAU_PARAMS) {
    return thin_slab_entry<Sse2>(N, n_z, front_matrix, back_matrix, host_indices, host_admittances, x,
                                 slab_indices, positions, slab_admittances, wavelengths, incident_admittance,
                                 substrate_admittances, t, t_back, r, r_back, dt, dr, dr_back);
}

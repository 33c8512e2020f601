// Thin-slab variations, AVX2/FMA build: 8 wavelengths per block, fused
// multiply-add wherever a product meets a sum. Only called where the
// processor has AVX2 and FMA3. Everything here but the build's function has
// internal linkage, and nothing runs at load time.
#include "simd/vecmath_avx2.hpp"
#include "thin_slab/kernel.hpp"
#include "thin_slab/thin_slab.hpp"

int sardune::thin_slab::avx2(SARDUNE_CALC_V_T_TAU_PARAMS) {
    return thin_slab_entry<Avx2>(N, n_z, front_matrix, back_matrix, host_indices, host_admittances, x,
                                 slab_indices, positions, slab_admittances, wavelengths, incident_admittance,
                                 substrate_admittances, t, t_back, r, r_back, dt, dr, dr_back);
}

// The plain C entry points, all of them: each validates what must be
// validated, wraps the caller's pointers and hands the request to its
// family. No exception leaves any of them.
#include <cstdint>
#include <cstring>
#include <thread>

#include "core/frame.hpp"
#include "core/thread_pool.hpp"
#include "cpu/dispatch.hpp"
#include "real_index/real_index.hpp"
#include "sardune.h"
#include "thin_slab/thin_slab.hpp"
#include "transfer/transfer.hpp"

using namespace sardune;

namespace {

// The C interface passes const data; the views are over mutable elements
// because the same view types serve inputs and outputs.
inline cplx* as_cplx(const sardune_complex* p) { return reinterpret_cast<cplx*>(const_cast<sardune_complex*>(p)); }
inline const cplx* const* as_cplx(const sardune_complex* const* p) {
    return reinterpret_cast<const cplx* const*>(p);
}
inline cplx* const* as_cplx(sardune_complex* const* p) { return reinterpret_cast<cplx* const*>(p); }
inline double* as_mutable(const double* p) { return const_cast<double*>(p); }

inline OneDArray<double> grid(int64_t n, const double* p) { return {n, as_mutable(p)}; }
inline TwoDArray<cplx> per_layer(int64_t K, int64_t N, const sardune_complex* p) { return {K, N, as_cplx(p)}; }
inline ThreeDArray<cplx> matrix_stack(int64_t N, const sardune_complex* p) { return {2, 2, N, as_cplx(p)}; }
inline FourDArray<cplx> layer_stack(int64_t K, int64_t N, const sardune_complex* p) {
    return {K, 2, 2, N, as_cplx(p)};
}

// A C caller's derivative switch: any nonzero byte means true (a C++ bool
// holding another byte would be undefined behaviour to read).
inline bool switch_is_set(bool derivatives) {
    unsigned char byte;
    std::memcpy(&byte, &derivatives, 1);
    return byte != 0;
}

// Both real-index entry points: a negative K cannot size a scratch and is
// rejected before anything is read; `run` computes the request.
inline int real_index_entry(int (*run)(const real_index::Request&) noexcept, int N, int K, const double* wavelengths,
                            const double* thicknesses, const sardune_complex* const* indices,
                            const sardune_complex* const* admittances, const sardune_complex* incident_admittance,
                            const sardune_complex* substrate_admittances, double x, sardune_complex* const* record,
                            bool derivatives) {
    if (K < 0) return SARDUNE_ERR_INVALID_REQUEST;
    if (N <= 0) return SARDUNE_OK;
    return run({N, K, wavelengths, thicknesses, as_cplx(indices), as_cplx(admittances),
                cplx(incident_admittance->re, incident_admittance->im), as_cplx(substrate_admittances), x,
                as_cplx(record), switch_is_set(derivatives)});
}

// The thin-slab counts are unsigned: a C caller's negative int arrives as a
// count of 2^31 or more, which no array of the caller's can match.
inline bool thin_slab_counts_fit(uint32_t N, uint32_t n_z) { return N <= INT32_MAX && n_z <= INT32_MAX; }

}  // namespace

extern "C" {

SARDUNE_API int sardune_init(int threads) { return configure_pool(threads, std::thread::hardware_concurrency()); }

SARDUNE_API int sardune_calc_M(int N, int K, const double* wavelengths, const double* thicknesses,
                               const sardune_complex* const* indices, const sardune_complex* const* admittances,
                               double x, sardune_complex* stack_matrix) {
    const OneDArray<double> wl = grid(N, wavelengths), d = grid(K, thicknesses);
    const ThreeDArray<cplx> M = matrix_stack(N, stack_matrix);
    const cplx* const* n = as_cplx(indices);
    const cplx* const* eta = as_cplx(admittances);
    return run_chunked(N, [&](int start, int end) { builds().stack_matrices(start, end, K, wl, d, n, eta, x, M); });
}

SARDUNE_API int sardune_forward(int N, int K, const double* wavelengths, const double* thicknesses,
                                const sardune_complex* indices, const sardune_complex* admittances, double x,
                                sardune_complex* stack_matrix, sardune_complex* partial_stack_matrix) {
    const OneDArray<double> wl = grid(N, wavelengths), d = grid(K, thicknesses);
    const TwoDArray<cplx> n = per_layer(K, N, indices), eta = per_layer(K, N, admittances);
    const ThreeDArray<cplx> M = matrix_stack(N, stack_matrix), P = matrix_stack(N, partial_stack_matrix);
    return run_chunked(N, [&](int start, int end) {
        builds().forward_products(start, end, K, wl, d, n, eta, x, M, P);
    });
}

SARDUNE_API int sardune_forward_backward(int N, int K, const double* wavelengths, const double* thicknesses,
                                         const sardune_complex* indices, const sardune_complex* admittances, double x,
                                         sardune_complex* stack_matrix, sardune_complex* layer_matrices,
                                         sardune_complex* derivatives) {
    const OneDArray<double> wl = grid(N, wavelengths), d = grid(K, thicknesses);
    const TwoDArray<cplx> n = per_layer(K, N, indices), eta = per_layer(K, N, admittances);
    const ThreeDArray<cplx> M = matrix_stack(N, stack_matrix);
    const FourDArray<cplx> L = layer_stack(K, N, layer_matrices), dM = layer_stack(K, N, derivatives);
    return run_chunked(N, [&](int start, int end) {
        builds().forward_backward(start, end, K, wl, d, n, eta, x, M, L, dM);
    });
}

SARDUNE_API int sardune_update_top_props(int N, int K, const double* wavelengths, const double* thicknesses,
                                         const sardune_complex* const* indices,
                                         const sardune_complex* const* admittances,
                                         const sardune_complex* incident_admittance,
                                         const sardune_complex* substrate_admittances, double x,
                                         const sardune_complex* base_matrix, int d0,
                                         sardune_complex* const* const* records, bool derivatives) {
    // The kernel would index layers, records and its scratch outside the
    // caller's arrays.
    if (d0 < 0 || d0 > K) return SARDUNE_ERR_INVALID_REQUEST;
    // No layer to add: no record exists, so there is nothing to read either.
    if (N <= 0 || d0 == K) return SARDUNE_OK;
    const cplx eta0 = *as_cplx(incident_admittance);
    const bool with_derivatives = switch_is_set(derivatives);
    const OneDArray<double> wl = grid(N, wavelengths), d = grid(K, thicknesses);
    const OneDArray<cplx> eta_s{N, as_cplx(substrate_admittances)};
    const ThreeDArray<cplx> base = matrix_stack(N, base_matrix);
    const cplx* const* n = as_cplx(indices);
    const cplx* const* eta = as_cplx(admittances);
    cplx* const* const* out = reinterpret_cast<cplx* const* const*>(records);
    return run_chunked(N, [&](int start, int end) {
        builds().partial_coatings(start, end, N, K, wl, d, n, eta, eta0, eta_s, x, base, d0, out, with_derivatives);
    });
}

SARDUNE_API int sardune_update_optiprops_real_n(int N, int K, const double* wavelengths, const double* thicknesses,
                                                const sardune_complex* const* indices,
                                                const sardune_complex* const* admittances,
                                                const sardune_complex* incident_admittance,
                                                const sardune_complex* substrate_admittances, double x,
                                                sardune_complex* const* record, bool derivatives) {
    return real_index_entry(real_index::on_calling_thread, N, K, wavelengths, thicknesses, indices, admittances,
                            incident_admittance, substrate_admittances, x, record, derivatives);
}

SARDUNE_API int sardune_update_optiprops_real_n_simd(int N, int K, const double* wavelengths, const double* thicknesses,
                                                     const sardune_complex* const* indices,
                                                     const sardune_complex* const* admittances,
                                                     const sardune_complex* incident_admittance,
                                                     const sardune_complex* substrate_admittances, double x,
                                                     sardune_complex* const* record, bool derivatives) {
    return real_index_entry(real_index::shared, N, K, wavelengths, thicknesses, indices, admittances,
                            incident_admittance, substrate_admittances, x, record, derivatives);
}

SARDUNE_API int sardune_matmul_22X(int count, int N, const sardune_complex* const* stacks, sardune_complex* result) {
    transfer::multiply_stacks(0, N, count, N, as_cplx(stacks), as_cplx(result));
    return SARDUNE_OK;
}

SARDUNE_API int sardune_calc_v_t_tau(SARDUNE_CALC_V_T_TAU_PARAMS) {
    if (!thin_slab_counts_fit(N, n_z)) return SARDUNE_ERR_INVALID_REQUEST;
    return builds().thin_slab(N, n_z, front_matrix, back_matrix, host_indices, host_admittances, x, slab_indices,
                              positions, slab_admittances, wavelengths, incident_admittance, substrate_admittances, t,
                              t_back, r, r_back, dt, dr, dr_back);
}

SARDUNE_API int sardune_calc_v_t_tau_sse(SARDUNE_CALC_V_T_TAU_PARAMS) {
    if (!thin_slab_counts_fit(N, n_z)) return SARDUNE_ERR_INVALID_REQUEST;
    return thin_slab::sse2(N, n_z, front_matrix, back_matrix, host_indices, host_admittances, x, slab_indices,
                           positions, slab_admittances, wavelengths, incident_admittance, substrate_admittances, t,
                           t_back, r, r_back, dt, dr, dr_back);
}

SARDUNE_API int sardune_calc_v_t_tau_avx(SARDUNE_CALC_V_T_TAU_PARAMS) {
    if (!thin_slab_counts_fit(N, n_z)) return SARDUNE_ERR_INVALID_REQUEST;
    return thin_slab::avx2(N, n_z, front_matrix, back_matrix, host_indices, host_admittances, x, slab_indices,
                           positions, slab_admittances, wavelengths, incident_admittance, substrate_admittances, t,
                           t_back, r, r_back, dt, dr, dr_back);
}

SARDUNE_API const char* sardune_implementation(void) { return builds().name; }

// The first names of the entry points: the same functions, exported under
// both names, so that nothing can tell the two apart.
#define SARDUNE_UNPREFIXED(name) SARDUNE_API decltype(sardune_##name) name __attribute__((alias("sardune_" #name)))
SARDUNE_UNPREFIXED(init);
SARDUNE_UNPREFIXED(calc_M);
SARDUNE_UNPREFIXED(forward);
SARDUNE_UNPREFIXED(forward_backward);
SARDUNE_UNPREFIXED(update_top_props);
SARDUNE_UNPREFIXED(update_optiprops_real_n);
SARDUNE_UNPREFIXED(update_optiprops_real_n_simd);
SARDUNE_UNPREFIXED(matmul_22X);
SARDUNE_UNPREFIXED(calc_v_t_tau);
SARDUNE_UNPREFIXED(calc_v_t_tau_sse);
SARDUNE_UNPREFIXED(calc_v_t_tau_avx);

}  // extern "C"

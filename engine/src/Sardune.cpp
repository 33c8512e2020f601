// The chunked entry points: each wraps the caller's pointers in views, lets
// the shared frame spread the wavelength range over the pool and the calling
// thread, and returns the request's status.
#include "frame.hpp"
#include "kernels.hpp"

namespace {

// The C interface passes const data; the views are over mutable elements
// because the same view types serve inputs and outputs.
inline cplx* as_cplx(const sardune_complex* p) {
    return reinterpret_cast<cplx*>(const_cast<sardune_complex*>(p));
}
inline const cplx* const* as_cplx(const sardune_complex* const* p) {
    return reinterpret_cast<const cplx* const*>(p);
}
inline double* as_mutable(const double* p) { return const_cast<double*>(p); }

inline OneDArray<double> grid(int64_t n, const double* p) { return {n, as_mutable(p)}; }
inline TwoDArray<cplx> per_layer(int64_t K, int64_t N, const sardune_complex* p) { return {K, N, as_cplx(p)}; }
inline ThreeDArray<cplx> matrix_stack(int64_t N, const sardune_complex* p) { return {2, 2, N, as_cplx(p)}; }
inline FourDArray<cplx> layer_stack(int64_t K, int64_t N, const sardune_complex* p) {
    return {K, 2, 2, N, as_cplx(p)};
}

}  // namespace

extern "C" {

SARDUNE_API int calc_M(int N, int K, const double* wavelengths, const double* thicknesses,
                       const sardune_complex* const* indices, const sardune_complex* const* admittances,
                       double x, sardune_complex* stack_matrix) {
    const OneDArray<double> wl = grid(N, wavelengths), d = grid(K, thicknesses);
    const ThreeDArray<cplx> M = matrix_stack(N, stack_matrix);
    const cplx* const* n = as_cplx(indices);
    const cplx* const* eta = as_cplx(admittances);
    return run_chunked(N, [&](int start, int end) { calc_M_(start, end, K, wl, d, n, eta, x, M); });
}

SARDUNE_API int forward(int N, int K, const double* wavelengths, const double* thicknesses,
                        const sardune_complex* indices, const sardune_complex* admittances, double x,
                        sardune_complex* stack_matrix, sardune_complex* partial_stack_matrix) {
    const OneDArray<double> wl = grid(N, wavelengths), d = grid(K, thicknesses);
    const TwoDArray<cplx> n = per_layer(K, N, indices), eta = per_layer(K, N, admittances);
    const ThreeDArray<cplx> M = matrix_stack(N, stack_matrix), P = matrix_stack(N, partial_stack_matrix);
    return run_chunked(N, [&](int start, int end) { forward_(start, end, K, wl, d, n, eta, x, M, P); });
}

SARDUNE_API int forward_backward(int N, int K, const double* wavelengths, const double* thicknesses,
                                 const sardune_complex* indices, const sardune_complex* admittances,
                                 double x, sardune_complex* stack_matrix,
                                 sardune_complex* layer_matrices, sardune_complex* derivatives) {
    const OneDArray<double> wl = grid(N, wavelengths), d = grid(K, thicknesses);
    const TwoDArray<cplx> n = per_layer(K, N, indices), eta = per_layer(K, N, admittances);
    const ThreeDArray<cplx> M = matrix_stack(N, stack_matrix);
    const FourDArray<cplx> L = layer_stack(K, N, layer_matrices), dM = layer_stack(K, N, derivatives);
    return run_chunked(N, [&](int start, int end) {
        forward_backward_(start, end, K, wl, d, n, eta, x, M, L, dM);
    });
}

SARDUNE_API int update_top_props(int N, int K, const double* wavelengths, const double* thicknesses,
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
    const OneDArray<double> wl = grid(N, wavelengths), d = grid(K, thicknesses);
    const OneDArray<cplx> eta_s{N, as_cplx(substrate_admittances)};
    const ThreeDArray<cplx> base = matrix_stack(N, base_matrix);
    const cplx* const* n = as_cplx(indices);
    const cplx* const* eta = as_cplx(admittances);
    cplx* const* const* out = reinterpret_cast<cplx* const* const*>(records);
    return run_chunked(N, [&](int start, int end) {
        update_top_props_(start, end, N, K, wl, d, n, eta, eta0, eta_s, x, base, d0, out, derivatives);
    });
}

}  // extern "C"

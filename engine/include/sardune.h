/*
 * Sardune: thin-film optics engine, C interface.
 *
 * Optics. A coating of K layers lies on a substrate, under an incident
 * medium. Layers are numbered from the substrate up: layer 0 touches the
 * substrate, layer K-1 faces the incident medium.
 *  - A complex refractive index is n - ik: a medium absorbs when k > 0.
 *  - x = n0 sin(theta0) is the angle invariant, real: the incident medium is
 *    lossless (real index n0) and theta0 is the angle of incidence in it.
 *    One x serves every layer of a request; x = 0 is normal incidence.
 *  - With q = sqrt(n^2 - x^2) on the principal branch, the square root that
 *    C's csqrt(n * n - x * x) takes (Re q >= 0; an absorbing medium has
 *    Im q < 0), the admittance of a medium, in units of the free-space
 *    admittance, is q for s polarisation and n^2 / q for p. It is the caller
 *    who forms them, for every layer, the incident medium (eta0) and the
 *    substrate (eta_s); at normal incidence both equal n. The engine takes
 *    q the same way for the phase thickness below, and the admittances must
 *    be on its branch.
 *  - Wavelengths and thicknesses are in one length unit, whatever it is.
 *  - Layer j at wavelength lambda: phase thickness delta = (2 pi / lambda) d_j q,
 *    matrix L_j = [[cos delta, i sin delta / eta_j], [i eta_j sin delta,
 *    cos delta]]. The stack matrix is M = L_{K-1} ... L_1 L_0.
 *  - Coefficients of the coating, from M (what the coefficient entry points
 *    write, and what a caller may form from sardune_calc_M itself):
 *      D  = eta0 M00 + eta_s M11 + eta0 eta_s M01 + M10
 *      t  = 2 eta0 / D                t' = 2 eta_s / D
 *      r  = (eta0 M00 - eta_s M11 + eta0 eta_s M01 - M10) / D
 *      r' = (eta_s M11 - eta0 M00 + eta0 eta_s M01 - M10) / D
 *    t, r for light from the incident side, t', r' from the substrate side.
 *    Reflectance R = |r|^2, transmittance T = Re(eta_s) / Re(eta0) |t|^2.
 *  - The real-index entry points read only the real parts of the layer
 *    indices and admittances; a layer whose index is below x gives NaN at
 *    that wavelength there.
 *
 * Arrays, shared by every entry point:
 *  - N is the number of wavelengths, K the number of layers (32-bit signed).
 *  - A complex value is two doubles, real part first (sardune_complex); it is
 *    layout-compatible with std::complex<double> and C's double _Complex.
 *  - Per-layer arrays are either "flat" (K*N values, layer-major, element
 *    [j*N + i]) or "pointer form" (K pointers, each to N values).
 *  - A matrix stack holds one 2x2 complex matrix per wavelength as four planes
 *    of N values, entries (0,0), (0,1), (1,0), (1,1): element [(2r+c)*N + i].
 *    A per-layer matrix stack is K matrix stacks back to back.
 *  - A coefficient record is an array of seven pointers: t, t', r, r' (N
 *    values each) then dt/dd_k, dr/dd_k, dr'/dd_k (one block of N per layer,
 *    element [k*N + i]; there is no derivative of t').
 *  - The caller owns every array. The engine writes only into the outputs.
 *
 * Every computing entry point returns SARDUNE_OK when its results are
 * complete, or one of the negative statuses below. No exception ever leaves
 * the library through these C entry points. Results do not depend on the
 * number of threads.
 *
 * Counts of zero or less, and what is written then, entry point by entry
 * point (sardune_ omitted):
 *  - calc_M, forward, forward_backward: N <= 0 is an empty request (nothing
 *    read or written); K <= 0 is a coating without layers (the stack matrix
 *    is the identity; forward leaves the partial product unwritten,
 *    forward_backward the layer matrices and derivatives).
 *  - update_top_props: d0 outside [0, K], and so any K < 0, is an invalid
 *    request, whatever N; otherwise N <= 0 or d0 == K writes nothing.
 *  - update_optiprops_real_n, update_optiprops_real_n_simd: K < 0 is an
 *    invalid request, whatever N; N <= 0 writes nothing; K = 0 is the bare
 *    boundary (t, t', r, r' written, no derivative).
 *  - matmul_22X: count <= 0 or N <= 0 reads and writes nothing.
 *  - calc_v_t_tau*: the counts are unsigned; N or n_z above INT32_MAX (a
 *    negative int passed as a count) is an invalid request.
 *  - init: threads <= 0 asks for the automatic count.
 * An invalid request reads and writes nothing.
 *
 * Names. The entry points are declared below under their sardune_ names.
 * The same functions are exported under their first names as well (init,
 * calc_M, ... without the prefix), for the applications that call those;
 * they are declared at the end of this header unless the including program
 * defines SARDUNE_NO_UNPREFIXED_NAMES first (for instance because it has an
 * init of its own). Calls inside the library use neither name, so a program
 * that defines a function of one of these names changes nothing in the
 * engine; it only calls its own function under that name.
 *
 * The library also exports its range kernels under their C++ names, for
 * C++ callers that share out the work themselves. These may throw
 * std::bad_alloc when their scratch cannot be had, and then write nothing
 * of their range: forward_backward_, update_top_props_,
 * update_optiprops_real_n_ (with derivatives only: the scratch its caller
 * passes is no longer needed, the derivatives take their own),
 * update_optiprops_real_n_simd_ and update_optiprops_real_n_simd_avx. The
 * others (calc_M_, forward_) and the processor detection functions throw
 * nothing.
 */
#ifndef SARDUNE_H
#define SARDUNE_H

/* The engine's version; the build takes its project version from here. */
#define SARDUNE_VERSION_MAJOR 1
#define SARDUNE_VERSION_MINOR 1
#define SARDUNE_VERSION_PATCH 0
#define SARDUNE_VERSION "1.1.0"

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(SARDUNE_BUILDING) && defined(__GNUC__)
#define SARDUNE_API __attribute__((visibility("default")))
#else
#define SARDUNE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Request statuses. */
#define SARDUNE_OK 0
/* A scratch or cache allocation failed; outputs of the request may be
 * partly written. The engine and other requests are unaffected. */
#define SARDUNE_ERR_OUT_OF_MEMORY (-1)
/* The request's counts are inconsistent (for example K < 0 where a scratch
 * must be sized, or d0 outside [0, K]); nothing was read or written. */
#define SARDUNE_ERR_INVALID_REQUEST (-2)

typedef struct sardune_complex {
    double re;
    double im;
} sardune_complex;

/* Worker pool. threads >= 2: that many threads share each request (the
 * caller plus threads-1 workers); 1: no pool; <= 0: automatic count from the
 * number of hardware threads. Returns the number of threads that share a
 * request (0 or 1: requests run on the calling thread alone). May be called
 * while other threads are inside entry points: it waits until the requests
 * that use the pool have finished and holds new ones back until the new pool
 * is in place; concurrent calls take turns. The child of a fork starts
 * without a pool (requests run on its calling thread) until it calls
 * sardune_init itself. At exit, and when the library is unloaded, the pool
 * is removed once the requests inside it have finished; a request that
 * starts after that runs on its calling thread. */
SARDUNE_API int sardune_init(int threads);

/* Stack characteristic matrix M = L_{K-1} ... L_0 per wavelength.
 * indices, admittances: pointer form. stack_matrix: matrix stack (4*N). */
SARDUNE_API int sardune_calc_M(int N, int K, const double* wavelengths, const double* thicknesses,
                               const sardune_complex* const* indices,
                               const sardune_complex* const* admittances, double x,
                               sardune_complex* stack_matrix);

/* M and the partial product P = L_{K-2} ... L_0 (written only when K >= 1).
 * indices, admittances: flat form (K*N). */
SARDUNE_API int sardune_forward(int N, int K, const double* wavelengths, const double* thicknesses,
                                const sardune_complex* indices, const sardune_complex* admittances,
                                double x, sardune_complex* stack_matrix,
                                sardune_complex* partial_stack_matrix);

/* M, every layer matrix L_j (4*K*N) and every derivative dM/dd_j (4*K*N).
 * With K < 1 the stack matrix receives the identity and nothing else is
 * touched. */
SARDUNE_API int sardune_forward_backward(int N, int K, const double* wavelengths,
                                         const double* thicknesses, const sardune_complex* indices,
                                         const sardune_complex* admittances, double x,
                                         sardune_complex* stack_matrix,
                                         sardune_complex* layer_matrices,
                                         sardune_complex* derivatives);

/* Adds layers d0 .. K-1 on top of base_matrix (the stack matrix of layers
 * 0 .. d0-1; not read when d0 == 0) and writes one coefficient record per
 * added layer: records[j - d0] is the partial coating that ends with layer j.
 * Its slots 4 to 6 hold (j - d0 + 1) blocks of N, written only when
 * derivatives is true. 0 <= d0 <= K, otherwise SARDUNE_ERR_INVALID_REQUEST. */
SARDUNE_API int sardune_update_top_props(int N, int K, const double* wavelengths,
                                         const double* thicknesses,
                                         const sardune_complex* const* indices,
                                         const sardune_complex* const* admittances,
                                         const sardune_complex* incident_admittance,
                                         const sardune_complex* substrate_admittances, double x,
                                         const sardune_complex* base_matrix, int d0,
                                         sardune_complex* const* const* records, bool derivatives);

/* Coefficients of a coating of non-absorbing layers (only the real parts of
 * the layer indices and admittances are read), on the calling thread. The
 * record's slots 4 to 6 hold K blocks of N. */
SARDUNE_API int sardune_update_optiprops_real_n(int N, int K, const double* wavelengths,
                                                const double* thicknesses,
                                                const sardune_complex* const* indices,
                                                const sardune_complex* const* admittances,
                                                const sardune_complex* incident_admittance,
                                                const sardune_complex* substrate_admittances, double x,
                                                sardune_complex* const* record, bool derivatives);

/* The same results four wavelengths at a time where the processor allows,
 * spread over the pool for more than 128 wavelengths. */
SARDUNE_API int sardune_update_optiprops_real_n_simd(int N, int K, const double* wavelengths,
                                                     const double* thicknesses,
                                                     const sardune_complex* const* indices,
                                                     const sardune_complex* const* admittances,
                                                     const sardune_complex* incident_admittance,
                                                     const sardune_complex* substrate_admittances,
                                                     double x, sardune_complex* const* record,
                                                     bool derivatives);

/* result = stacks[count-1] ... stacks[1] * stacks[0] per wavelength. result may
 * be stacks[0] but must not overlap any other stack. */
SARDUNE_API int sardune_matmul_22X(int count, int N, const sardune_complex* const* stacks,
                                   sardune_complex* result);

/* First-order change of t, r and r' per unit thickness when a thin slab of
 * another material replaces the host layer at each position, in single
 * precision. front/back matrices and each output may be null. Outputs are
 * n_z*N values, position-major. sardune_calc_v_t_tau picks the build that
 * suits the processor. They allocate nothing, whatever N and n_z. */
#define SARDUNE_CALC_V_T_TAU_PARAMS                                                        \
    uint32_t N, uint32_t n_z, const sardune_complex *front_matrix,                         \
        const sardune_complex *back_matrix, const sardune_complex *host_indices,           \
        const sardune_complex *host_admittances, double x,                                 \
        const sardune_complex *slab_indices, const double *positions,                      \
        const sardune_complex *slab_admittances, const double *wavelengths,                \
        const sardune_complex *incident_admittance,                                        \
        const sardune_complex *substrate_admittances, const sardune_complex *t,            \
        const sardune_complex *t_back, const sardune_complex *r,                           \
        const sardune_complex *r_back, sardune_complex *dt, sardune_complex *dr,           \
        sardune_complex *dr_back
SARDUNE_API int sardune_calc_v_t_tau(SARDUNE_CALC_V_T_TAU_PARAMS);
SARDUNE_API int sardune_calc_v_t_tau_sse(SARDUNE_CALC_V_T_TAU_PARAMS);
SARDUNE_API int sardune_calc_v_t_tau_avx(SARDUNE_CALC_V_T_TAU_PARAMS);

/* Which builds of the vectorised kernels this process runs, as chosen when
 * the library was loaded from what the processor and the operating system
 * support:
 *   "avx2+fma"  256-bit AVX2 vectors with fused multiply-adds;
 *   "sse2"      the builds that every x86-64 processor runs.
 * Other names may come with other builds. The string is static and the
 * same, at the same address, for the whole process: do not free or change
 * it. For ordinary inputs the results of the two builds agree to rounding
 * (the thin-slab variations to single-precision rounding). The entry points
 * that name a build (sardune_calc_v_t_tau_sse, sardune_calc_v_t_tau_avx) run
 * it whatever this says; the AVX2 one only where this says "avx2+fma". */
SARDUNE_API const char* sardune_implementation(void);

#ifndef SARDUNE_NO_UNPREFIXED_NAMES
/* The entry points above under their first names: each is the same function
 * as its sardune_ name, exported under both. */
SARDUNE_API int init(int threads);
SARDUNE_API int calc_M(int N, int K, const double* wavelengths, const double* thicknesses,
                       const sardune_complex* const* indices,
                       const sardune_complex* const* admittances, double x,
                       sardune_complex* stack_matrix);
SARDUNE_API int forward(int N, int K, const double* wavelengths, const double* thicknesses,
                        const sardune_complex* indices, const sardune_complex* admittances,
                        double x, sardune_complex* stack_matrix,
                        sardune_complex* partial_stack_matrix);
SARDUNE_API int forward_backward(int N, int K, const double* wavelengths,
                                 const double* thicknesses, const sardune_complex* indices,
                                 const sardune_complex* admittances, double x,
                                 sardune_complex* stack_matrix,
                                 sardune_complex* layer_matrices,
                                 sardune_complex* derivatives);
SARDUNE_API int update_top_props(int N, int K, const double* wavelengths,
                                 const double* thicknesses,
                                 const sardune_complex* const* indices,
                                 const sardune_complex* const* admittances,
                                 const sardune_complex* incident_admittance,
                                 const sardune_complex* substrate_admittances, double x,
                                 const sardune_complex* base_matrix, int d0,
                                 sardune_complex* const* const* records, bool derivatives);
SARDUNE_API int update_optiprops_real_n(int N, int K, const double* wavelengths,
                                        const double* thicknesses,
                                        const sardune_complex* const* indices,
                                        const sardune_complex* const* admittances,
                                        const sardune_complex* incident_admittance,
                                        const sardune_complex* substrate_admittances, double x,
                                        sardune_complex* const* record, bool derivatives);
SARDUNE_API int update_optiprops_real_n_simd(int N, int K, const double* wavelengths,
                                             const double* thicknesses,
                                             const sardune_complex* const* indices,
                                             const sardune_complex* const* admittances,
                                             const sardune_complex* incident_admittance,
                                             const sardune_complex* substrate_admittances,
                                             double x, sardune_complex* const* record,
                                             bool derivatives);
SARDUNE_API int matmul_22X(int count, int N, const sardune_complex* const* stacks,
                           sardune_complex* result);
SARDUNE_API int calc_v_t_tau(SARDUNE_CALC_V_T_TAU_PARAMS);
SARDUNE_API int calc_v_t_tau_sse(SARDUNE_CALC_V_T_TAU_PARAMS);
SARDUNE_API int calc_v_t_tau_avx(SARDUNE_CALC_V_T_TAU_PARAMS);
#endif

#ifdef __cplusplus
}
#endif

#endif /* SARDUNE_H */

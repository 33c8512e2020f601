// Coefficients of a coating of non-absorbing layers, one wavelength at a time.
// Every layer matrix and product [[a, i*b], [i*c, d]] is kept as four reals
// (a, b, c, d); complex arithmetic is left for the final coefficients.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>

#include "real_index.hpp"

namespace {

constexpr double two_pi = 6.283185307179586;
constexpr int layer_group = 16;

struct RealMatrix {
    double a, b, c, d;
};

// L * m for L = [[co, i*sh], [i*hs, co]]; all four old entries are read first.
inline RealMatrix times(double co, double sh, double hs, const RealMatrix& m) {
    return {co * m.a - sh * m.c, co * m.b + sh * m.d, co * m.c + hs * m.a, co * m.d - hs * m.b};
}

}  // namespace

bool switch_is_set(bool derivatives) {
    // Callers from other languages may pass any nonzero byte for true.
    unsigned char byte;
    std::memcpy(&byte, &derivatives, 1);
    return byte != 0;
}

namespace {

struct Inputs {
    int N, K;
    const double* wavelengths;
    const double* thicknesses;
    const cplx* const* indices;
    const cplx* const* admittances;
    cplx eta0;
    const cplx* substrate;
    double minus_x2;
    cplx* const* record;
};

// M = L_{K-1} ... L_0 for the W wavelengths i .. i+W-1, whose independent
// chains the processor overlaps; with X, also X[k] = dM/dd_k (W = 1 only).
// The math-library calls of a group of layers come first: they do not
// depend on M, so the divisions and products after them need not wait for
// each call in turn.
template <int W>
void layer_products(const Inputs& in, int i, RealMatrix* M, RealMatrix* X) {
    double w[W];
    for (int l = 0; l < W; ++l) {
        w[l] = two_pi / in.wavelengths[i + l];
        M[l] = {1.0, 0.0, 0.0, 1.0};
    }
    for (int j0 = 0; j0 < in.K; j0 += layer_group) {
        const int j1 = std::min(in.K, j0 + layer_group);
        double kappas[layer_group][W], sines[layer_group][W], cosines[layer_group][W];
        for (int j = j0; j < j1; ++j)
            for (int l = 0; l < W; ++l) {
                const double n = in.indices[j][i + l].real();
                const double kappa = std::sqrt(n * n + in.minus_x2) * w[l];
                const double delta = in.thicknesses[j] * kappa;
                kappas[j - j0][l] = kappa;
                sines[j - j0][l] = std::sin(delta);
                cosines[j - j0][l] = std::cos(delta);
            }
        for (int j = j0; j < j1; ++j)
            for (int l = 0; l < W; ++l) {
                const double kappa = kappas[j - j0][l], s = sines[j - j0][l], co = cosines[j - j0][l];
                const double h = in.admittances[j][i + l].real();
                const double sh = s / h, hs = h * s;
                if (X != nullptr) {
                    // G_j * M, G_j = dL_j/dd_j; the earlier derivatives move up by L_j.
                    const double v = (-s) * kappa, u = kappa * co;
                    X[j] = times(v, u / h, u * h, M[l]);
                    for (int k = 0; k < j; ++k) X[k] = times(co, sh, hs, X[k]);
                }
                M[l] = times(co, sh, hs, M[l]);
            }
    }
}

// The coefficients at wavelength i from its stack matrix and, with X, their
// derivatives.
void coefficients(const Inputs& in, int i, const RealMatrix& M, const RealMatrix* X) {
    const cplx I(0.0, 1.0), eta0 = in.eta0;
    const cplx two_eta0(2.0 * eta0.real(), 2.0 * eta0.imag());
    cplx* const* record = in.record;
    const cplx es = in.substrate[i];
    const cplx P = es * eta0;
    const cplx Q = I * (P * M.b + M.c);
    const cplx D = es * M.d + eta0 * M.a + Q;
    record[0][i] = two_eta0 / D;
    record[1][i] = (2.0 * es) / D;
    const cplx Qr = I * (P * M.b - M.c);
    record[2][i] = (eta0 * M.a - es * M.d + Qr) / D;
    record[3][i] = (es * M.d - eta0 * M.a + Qr) / D;
    if (X == nullptr) return;

    const cplx t = record[0][i], tb = record[1][i], r = record[2][i], rb = record[3][i];
    const cplx a_t = (t * (-0.5 * t)) / eta0;
    const cplx a_r = (0.5 * t) / eta0;
    const cplx a_rb = (0.5 * tb) / es;
    for (int k = 0; k < in.K; ++k) {
        const double X00 = X[k].a, X11 = X[k].d;
        const cplx X01(0.0, X[k].b), X10(0.0, X[k].c);
        const int64_t at = static_cast<int64_t>(k) * in.N + i;
        const cplx Dk = es * X11 + eta0 * X00 + (P * X01 + X10);
        record[4][at] = a_t * Dk;
        record[5][at] = a_r * ((1.0 - r) * eta0 * X00 - (1.0 + r) * es * X11 +
                               ((1.0 - r) * P * X01 - (1.0 + r) * X10));
        record[6][at] = a_rb * ((1.0 - rb) * es * X11 - (1.0 + rb) * eta0 * X00 +
                                ((1.0 - rb) * P * X01 - (1.0 + rb) * X10));
    }
}

}  // namespace

void real_index_columns(int start, int end, int N, int K, const double* wavelengths,
                        const double* thicknesses, const cplx* const* indices,
                        const cplx* const* admittances, cplx eta0,
                        const cplx* substrate_admittances, double x, cplx* const* record,
                        bool derivatives, double* scratch) {
    if (K <= 0 || start >= end) return;
    const Inputs in{N,    K,         wavelengths, thicknesses, indices, admittances, eta0, substrate_admittances,
                    (-x) * x, record};
    RealMatrix M[2];
    if (derivatives) {
        // One wavelength at a time: the scratch holds one set of X_k.
        RealMatrix* const X = reinterpret_cast<RealMatrix*>(scratch);
        for (int i = start; i < end; ++i) {
            layer_products<1>(in, i, M, X);
            coefficients(in, i, M[0], X);
        }
        return;
    }
    int i = start;
    for (; i + 2 <= end; i += 2) {
        layer_products<2>(in, i, M, nullptr);
        coefficients(in, i, M[0], nullptr);
        coefficients(in, i + 1, M[1], nullptr);
    }
    if (i < end) {
        layer_products<1>(in, i, M, nullptr);
        coefficients(in, i, M[0], nullptr);
    }
}

void update_optiprops_real_n_(int N, int K, const double* wavelengths, const double* thicknesses,
                              const cplx* const* indices, const cplx* const* admittances,
                              cplx eta0, const cplx* substrate_admittances, double x,
                              cplx* const* record, bool derivatives, double* scratch) {
    real_index_columns(0, N, N, K, wavelengths, thicknesses, indices, admittances, eta0,
                       substrate_admittances, x, record, derivatives, scratch);
}

int real_index_columns_request(int start, int end, int N, int K, const double* wavelengths,
                               const double* thicknesses, const cplx* const* indices,
                               const cplx* const* admittances, cplx eta0,
                               const cplx* substrate_admittances, double x,
                               cplx* const* record, bool derivatives) noexcept {
    // A negative K cannot size the scratch: reject before touching anything.
    if (K < 0) return SARDUNE_ERR_INVALID_REQUEST;
    if (K == 0 || start >= end) return SARDUNE_OK;
    double* scratch = static_cast<double*>(scratch_try_alloc(static_cast<size_t>(K) * 4 * sizeof(double)));
    if (scratch == nullptr) return SARDUNE_ERR_OUT_OF_MEMORY;
    real_index_columns(start, end, N, K, wavelengths, thicknesses, indices, admittances, eta0,
                       substrate_admittances, x, record, derivatives, scratch);
    scratch_free(scratch);
    return SARDUNE_OK;
}

extern "C" SARDUNE_API int update_optiprops_real_n(
    int N, int K, const double* wavelengths, const double* thicknesses,
    const sardune_complex* const* indices, const sardune_complex* const* admittances,
    const sardune_complex* incident_admittance, const sardune_complex* substrate_admittances,
    double x, sardune_complex* const* record, bool derivatives) {
    if (K < 0) return SARDUNE_ERR_INVALID_REQUEST;
    if (N <= 0 || K == 0) return SARDUNE_OK;
    const cplx eta0(incident_admittance->re, incident_admittance->im);
    return real_index_columns_request(
        0, N, N, K, wavelengths, thicknesses, reinterpret_cast<const cplx* const*>(indices),
        reinterpret_cast<const cplx* const*>(admittances), eta0,
        reinterpret_cast<const cplx*>(substrate_admittances), x,
        reinterpret_cast<cplx* const*>(record), switch_is_set(derivatives));
}

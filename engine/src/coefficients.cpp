// Amplitude coefficients of partial coatings with their thickness
// derivatives, and the batched product of matrix stacks.
//
// A coating's stack matrix M, applied to (1, eta_s), gives
//     D = eta0 M00 + eta_s M11 + (eta_s eta0) M01 + M10,
//     t = 2 eta0 / D, t' = 2 eta_s / D,
//     r = (eta0 M00 - eta_s M11 + (eta_s eta0) M01 - M10) / D,
//     r' = (eta_s M11 - eta0 M00 + (eta_s eta0) M01 - M10) / D.
// The derivatives follow from X = dM/dd_k through dD = D' with the factors
// -t^2/(2 eta0), t/(2 eta0) and t'/(2 eta_s).
#include <vector>

#include "kernels.hpp"

namespace {

constexpr double two_pi = 6.283185307179586;
const cplx imag_unit(0.0, 1.0);

struct Mat {
    cplx m00, m01, m10, m11;
};

inline Mat product(const Mat& A, const Mat& B) {
    return {A.m00 * B.m00 + A.m01 * B.m10, A.m00 * B.m01 + A.m01 * B.m11,
            A.m10 * B.m00 + A.m11 * B.m10, A.m10 * B.m01 + A.m11 * B.m11};
}

// Layer j at one wavelength: its matrix L and derivative G = dL/dd_j.
struct Layer {
    Mat L, G;
};

inline Layer evaluate_layer(cplx n, cplx eta, double d, double lambda, double x2) {
    const cplx n2 = n * n;
    const cplx q = std::sqrt(cplx(n2.real() - x2, n2.imag()));
    const cplx delta = cplx(two_pi / lambda, 0.0) * (d * q);
    const cplx S = std::sin(delta);
    const cplx C = std::cos(delta);
    const cplx dDelta = (q * cplx(two_pi, 0.0)) / lambda;
    const cplx iS = imag_unit * S;
    const cplx iC = imag_unit * C;
    const cplx minus_S_dDelta = (-S) * dDelta;
    return {{C, iS / eta, iS * eta, C},
            {minus_S_dDelta, dDelta * (iC / eta), dDelta * (iC * eta), minus_S_dDelta}};
}

// eta0 X00 + eta_s X11 + P X01 + X10 with P = eta_s eta0: D for M, D' for X.
inline cplx denominator(const Mat& X, cplx eta0, cplx eta_s, cplx P) {
    return eta0 * X.m00 + eta_s * X.m11 + P * X.m01 + X.m10;
}

}  // namespace

// Per wavelength, the layers d0 .. K-1 are added one at a time on top of the
// base matrix; after each, the partial coating's coefficients go into its
// record and, with derivatives, every earlier derivative matrix is carried
// through the new layer so that no partial product is formed afresh.
void update_top_props_(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                       const OneDArray<double>& thicknesses, const cplx* const* indices,
                       const cplx* const* admittances, cplx eta0,
                       const OneDArray<cplx>& substrate_admittances, double x,
                       const ThreeDArray<cplx>& base_matrix, int d0, cplx* const* const* records,
                       bool derivatives) {
    if (d0 < 0 || d0 >= K || start >= end) return;
    // X_k for every added layer; one allocation serves the whole range.
    std::vector<Mat> scratch(static_cast<size_t>(K - d0) + 1, Mat{});
    const double x2 = x * x;
    const cplx two_eta0(2.0 * eta0.real(), 2.0 * eta0.imag());
    const int64_t stride = N;

    for (int i = start; i < end; ++i) {
        Mat M = d0 != 0 ? Mat{base_matrix(0, 0, i), base_matrix(0, 1, i), base_matrix(1, 0, i), base_matrix(1, 1, i)}
                        : Mat{cplx(1.0, 0.0), cplx(0.0, 0.0), cplx(0.0, 0.0), cplx(1.0, 0.0)};
        const cplx eta_s = substrate_admittances(i);
        const cplx P = eta_s * eta0;
        for (int j = d0; j < K; ++j) {
            const Layer layer = evaluate_layer(indices[j][i], admittances[j][i], thicknesses(j), wavelengths(i), x2);
            if (derivatives) scratch[j - d0] = product(layer.G, M);
            M = product(layer.L, M);

            cplx* const* record = records[j - d0];
            const cplx D = denominator(M, eta0, eta_s, P);
            record[0][i] = two_eta0 / D;
            record[1][i] = (2.0 * eta_s) / D;
            record[2][i] = (eta0 * M.m00 - eta_s * M.m11 + P * M.m01 - M.m10) / D;
            record[3][i] = (eta_s * M.m11 - eta0 * M.m00 + P * M.m01 - M.m10) / D;
            if (!derivatives) continue;

            const cplx t = record[0][i], tb = record[1][i], r = record[2][i], rb = record[3][i];
            const cplx a_t = (t * (-0.5 * t)) / eta0;
            const cplx a_r = (0.5 * t) / eta0;
            const cplx a_rb = (0.5 * tb) / eta_s;
            for (int k = d0; k <= j; ++k) {
                Mat& X = scratch[k - d0];
                if (k < j) X = product(layer.L, X);
                const int64_t at = static_cast<int64_t>(k - d0) * stride + i;
                record[4][at] = a_t * denominator(X, eta0, eta_s, P);
                record[5][at] = a_r * (eta0 * (1.0 - r) * X.m00 - (1.0 + r) * eta_s * X.m11 +
                                       P * (1.0 - r) * X.m01 - (1.0 + r) * X.m10);
                record[6][at] = a_rb * (eta_s * (1.0 - rb) * X.m11 - eta0 * (1.0 + rb) * X.m00 +
                                        P * (1.0 - rb) * X.m01 - (1.0 + rb) * X.m10);
            }
        }
    }
}

// P <- A_m P for m = 1 .. count-1, stack by stack, so each input is streamed
// once and the result is the only working storage.
extern "C" SARDUNE_API int matmul_22X(int count, int N, const sardune_complex* const* stacks,
                                      sardune_complex* result) {
    if (count <= 0 || N <= 0) return SARDUNE_OK;
    const int64_t n = N;
    cplx* P = reinterpret_cast<cplx*>(result);
    const cplx* A0 = reinterpret_cast<const cplx*>(stacks[0]);
    if (A0 != P)
        for (int64_t e = 0; e < 4 * n; ++e) P[e] = A0[e];
    for (int m = 1; m < count; ++m) {
        const cplx* A = reinterpret_cast<const cplx*>(stacks[m]);
        for (int64_t i = 0; i < n; ++i) {
            const cplx p00 = P[i], p01 = P[n + i], p10 = P[2 * n + i], p11 = P[3 * n + i];
            const cplx a00 = A[i], a01 = A[n + i], a10 = A[2 * n + i], a11 = A[3 * n + i];
            P[i] = p00 * a00 + p10 * a01;
            P[n + i] = p01 * a00 + p11 * a01;
            P[2 * n + i] = p00 * a10 + p10 * a11;
            P[3 * n + i] = p01 * a10 + p11 * a11;
        }
    }
    return SARDUNE_OK;
}

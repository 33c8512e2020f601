// The scalar real-index algorithm, one wavelength at a time (two side by side
// without derivatives). Every layer matrix and product [[a, i b], [i c, d]]
// is kept as four reals; complex arithmetic is left for the coefficients.
#include <algorithm>
#include <cmath>

#include "core/scratch.hpp"
#include "core/frame.hpp"
#include "real_index/real_index.hpp"

namespace sardune::real_index {

namespace {

constexpr int layer_group = 16;

struct RealMatrix {
    double a, b, c, d;
};

// L * m for L = [[co, i*sh], [i*hs, co]]; all four old entries are read first.
inline RealMatrix times(double co, double sh, double hs, const RealMatrix& m) {
    return {co * m.a - sh * m.c, co * m.b + sh * m.d, co * m.c + hs * m.a, co * m.d - hs * m.b};
}

// M = L_{K-1} ... L_0 for the W wavelengths i .. i+W-1, whose independent
// chains the processor overlaps; with X, also X[k] = dM/dd_k (W = 1 only).
// The math-library calls of a group of layers come first: they do not
// depend on M, so the divisions and products after them need not wait for
// each call in turn.
template <int W>
void layer_products(const Request& q, double minus_x2, int64_t i, RealMatrix* M, RealMatrix* X) {
    double w[W];
    for (int l = 0; l < W; ++l) {
        w[l] = optics::two_pi / q.wavelengths[i + l];
        M[l] = {1.0, 0.0, 0.0, 1.0};
    }
    for (int j0 = 0; j0 < q.K; j0 += layer_group) {
        const int j1 = std::min(q.K, j0 + layer_group);
        double kappas[layer_group][W], sines[layer_group][W], cosines[layer_group][W];
        for (int j = j0; j < j1; ++j)
            for (int l = 0; l < W; ++l) {
                const double n = q.indices[j][i + l].real();
                const double kappa = std::sqrt(n * n + minus_x2) * w[l];
                const double delta = q.thicknesses[j] * kappa;
                kappas[j - j0][l] = kappa;
                sines[j - j0][l] = std::sin(delta);
                cosines[j - j0][l] = std::cos(delta);
            }
        for (int j = j0; j < j1; ++j)
            for (int l = 0; l < W; ++l) {
                const double kappa = kappas[j - j0][l], s = sines[j - j0][l], co = cosines[j - j0][l];
                const double h = q.admittances[j][i + l].real();
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
// derivatives. With M01 = i b and M10 = i c the terms P M01 + M10 and
// P M01 - M10 are formed as i (P b + c) and i (P b - c).
void coefficients(const Request& q, int64_t i, const RealMatrix& M, const RealMatrix* X) {
    const cplx I(0.0, 1.0), eta0 = q.eta0;
    cplx* const* record = q.record;
    const cplx es = q.substrate[i];
    const cplx P = es * eta0;
    const cplx D = es * M.d + eta0 * M.a + I * (P * M.b + M.c);
    optics::Coefficients c = optics::transmissions(D, optics::doubled(eta0), es);
    const cplx Qr = I * (P * M.b - M.c);
    c.r = (eta0 * M.a - es * M.d + Qr) / D;
    c.rb = (es * M.d - eta0 * M.a + Qr) / D;
    record[0][i] = c.t, record[1][i] = c.tb, record[2][i] = c.r, record[3][i] = c.rb;
    if (X == nullptr) return;

    const optics::DerivativeFactors a = optics::derivative_factors(c, eta0, es);
    for (int k = 0; k < q.K; ++k) {
        const double X00 = X[k].a, X11 = X[k].d;
        const cplx X01(0.0, X[k].b), X10(0.0, X[k].c);
        const int64_t at = static_cast<int64_t>(k) * q.N + i;
        const cplx Dk = es * X11 + eta0 * X00 + (P * X01 + X10);
        record[4][at] = a.t * Dk;
        record[5][at] = a.r * ((1.0 - c.r) * eta0 * X00 - (1.0 + c.r) * es * X11 +
                               ((1.0 - c.r) * P * X01 - (1.0 + c.r) * X10));
        record[6][at] = a.rb * ((1.0 - c.rb) * es * X11 - (1.0 + c.rb) * eta0 * X00 +
                                ((1.0 - c.rb) * P * X01 - (1.0 + c.rb) * X10));
    }
}

}  // namespace

void scalar_columns(const Request& q, int start, int end, double* scratch) {
    if (q.K <= 0 || start >= end) return;
    const double minus_x2 = (-q.x) * q.x;
    RealMatrix M[2];
    if (q.derivatives) {
        // One wavelength at a time: the scratch holds one set of X_k.
        RealMatrix* const X = reinterpret_cast<RealMatrix*>(scratch);
        for (int64_t i = start; i < end; ++i) {
            layer_products<1>(q, minus_x2, i, M, X);
            coefficients(q, i, M[0], X);
        }
        return;
    }
    int64_t i = start;
    for (; i + 2 <= end; i += 2) {
        layer_products<2>(q, minus_x2, i, M, nullptr);
        coefficients(q, i, M[0], nullptr);
        coefficients(q, i + 1, M[1], nullptr);
    }
    if (i < end) {
        layer_products<1>(q, minus_x2, i, M, nullptr);
        coefficients(q, i, M[0], nullptr);
    }
}

void scalar_range(const Request& q, int start, int end) {
    if (q.K <= 0 || start >= end) return;
    const Scratch scratch = Scratch::required(sizeof(double) * 4 * static_cast<size_t>(q.K));
    scalar_columns(q, start, end, scratch.doubles());
}

int on_calling_thread(const Request& q) noexcept {
    RequestStatus status;
    status.run([&q](int start, int end) { scalar_range(q, start, end); }, 0, q.N);
    return status.code();
}

}  // namespace sardune::real_index

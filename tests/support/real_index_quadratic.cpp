#include "real_index_quadratic.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

namespace ref {

namespace {

using cplx = std::complex<double>;

struct RealMatrix {
    double a, b, c, d;
};

// L * m for L = [[co, i*sh], [i*hs, co]].
RealMatrix times(double co, double sh, double hs, const RealMatrix& m) {
    return {co * m.a - sh * m.c, co * m.b + sh * m.d, co * m.c + hs * m.a, co * m.d - hs * m.b};
}

}  // namespace

void real_index_quadratic(const Coating& q, cplx* const* record, bool derivatives) {
    if (q.K <= 0) return;
    const double minus_x2 = (-q.x) * q.x;
    const cplx I(0.0, 1.0), eta0 = q.eta0, two_eta0(2.0 * eta0.real(), 2.0 * eta0.imag());
    std::vector<RealMatrix> X(q.K);
    for (int i = 0; i < q.N; ++i) {
        const double w = 6.283185307179586 / q.wavelengths[i];
        RealMatrix M{1.0, 0.0, 0.0, 1.0};
        for (int j = 0; j < q.K; ++j) {
            const double n = q.n(j, i).real();
            const double kappa = std::sqrt(n * n + minus_x2) * w;
            const double delta = q.thicknesses[j] * kappa;
            const double s = std::sin(delta), co = std::cos(delta);
            const double h = q.eta(j, i).real();
            const double sh = s / h, hs = h * s;
            if (derivatives) {
                const double v = (-s) * kappa, u = kappa * co;
                X[j] = times(v, u / h, u * h, M);
                for (int k = 0; k < j; ++k) X[k] = times(co, sh, hs, X[k]);
            }
            M = times(co, sh, hs, M);
        }

        const cplx es = q.substrate[i];
        const cplx P = es * eta0;
        const cplx D = es * M.d + eta0 * M.a + I * (P * M.b + M.c);
        const cplx t = two_eta0 / D, tb = (2.0 * es) / D;
        const cplx Qr = I * (P * M.b - M.c);
        const cplx r = (eta0 * M.a - es * M.d + Qr) / D;
        const cplx rb = (es * M.d - eta0 * M.a + Qr) / D;
        record[0][i] = t, record[1][i] = tb, record[2][i] = r, record[3][i] = rb;
        if (!derivatives) continue;

        const cplx a_t = (t * (-0.5 * t)) / eta0, a_r = (0.5 * t) / eta0, a_rb = (0.5 * tb) / es;
        for (int k = 0; k < q.K; ++k) {
            const double X00 = X[k].a, X11 = X[k].d;
            const cplx X01(0.0, X[k].b), X10(0.0, X[k].c);
            const int64_t at = static_cast<int64_t>(k) * q.N + i;
            const cplx Dk = es * X11 + eta0 * X00 + (P * X01 + X10);
            record[4][at] = a_t * Dk;
            record[5][at] = a_r * ((1.0 - r) * eta0 * X00 - (1.0 + r) * es * X11 + ((1.0 - r) * P * X01 - (1.0 + r) * X10));
            record[6][at] = a_rb * ((1.0 - rb) * es * X11 - (1.0 + rb) * eta0 * X00 + ((1.0 - rb) * P * X01 - (1.0 + rb) * X10));
        }
    }
}

}  // namespace ref

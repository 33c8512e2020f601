// The scalar real-index algorithm, a few wavelengths side by side (each
// computed exactly as it would be alone). Every layer matrix and product
// [[a, i b], [i c, d]] is kept as four reals; complex arithmetic is left for
// the coefficients.
//
// Derivatives take two sweeps over the layers. The derivative of a layer's
// matrix is dL_j/dd_j = kappa_j A_j L_j with A_j = [[0, i/h], [i h, 0]],
// which commutes with L_j, so dM/dd_k = S_k (kappa_k A_k) M_k, where M_k is
// the product of the layers up to k and S_k that of the layers above it.
// Going up, each layer leaves M_k, L_k and kappa h, kappa/h; coming down,
// S_k gives the derivative and then takes in L_k: two products per layer,
// so the cost grows linearly with K.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/scratch.hpp"
#include "core/frame.hpp"
#include "real_index/real_index.hpp"

namespace sardune::real_index {

namespace {

constexpr int layer_group = 16;

struct RealMatrix {
    double a, b, c, d;
};

// L_j = [[co, i sh], [i hs, co]].
struct LayerTerms {
    double co, sh, hs;
};

// What the upward sweep leaves for the downward one, per layer and
// wavelength: M_j, L_j, and kappa A_j = [[0, i kappa/h], [i kappa h, 0]].
struct Layer {
    RealMatrix up_to;
    LayerTerms terms;
    double kh, k_h;  // kappa h, kappa / h
};

// The rows of N lie far apart, in the same few cache sets when N is a power
// of two, so the hardware neither keeps their lines nor runs ahead along
// them. Derivatives are therefore computed for a group of neighbouring
// wavelengths at once, which share each line of the inputs and the record,
// and the lines of a layer are asked for a few layers before they are
// reached. A sweep holds group entries per layer, [j * group + l] for
// wavelength i + l.
constexpr int group = 4;
constexpr int ahead = 4;

// Both ends of row[i .. i+count-1], which may straddle two cache lines;
// lines about to be written are asked for with the intent to write.
inline void prefetch_columns(const cplx* row, int64_t i, int count) {
    __builtin_prefetch(row + i);
    __builtin_prefetch(row + i + count - 1);
}
inline void prefetch_for_writing(const cplx* row, int64_t i, int count) {
    const cplx *first = row + i, *last = row + i + count - 1;
    __builtin_prefetch(first, 1);
    if ((reinterpret_cast<uintptr_t>(first) ^ reinterpret_cast<uintptr_t>(last)) >> 6) __builtin_prefetch(last, 1);
}

// L * m for L = [[co, i*sh], [i*hs, co]]; all four old entries are read first.
inline RealMatrix times(double co, double sh, double hs, const RealMatrix& m) {
    return {co * m.a - sh * m.c, co * m.b + sh * m.d, co * m.c + hs * m.a, co * m.d - hs * m.b};
}

// A * B, both in real form.
inline RealMatrix product(const RealMatrix& A, const RealMatrix& B) {
    return {A.a * B.a - A.b * B.c, A.a * B.b + A.b * B.d, A.c * B.a + A.d * B.c, A.d * B.d - A.c * B.b};
}

inline RealMatrix matrix(const LayerTerms& L) { return {L.co, L.sh, L.hs, L.co}; }

// S kappa A of a layer: (-b kappa h, a kappa/h, d kappa h, -c kappa/h).
inline RealMatrix times_derivative_factor(const RealMatrix& S, const Layer& layer) {
    return {-(S.b * layer.kh), S.a * layer.k_h, S.d * layer.kh, -(S.c * layer.k_h)};
}

// M = L_{K-1} ... L_0 for the W wavelengths i .. i+W-1, whose independent
// chains the processor overlaps; with a sweep, also what the derivatives
// need of each layer. The math-library calls of a group of layers come
// first: they do not depend on M, so the divisions and products after them
// need not wait for each call in turn.
template <int W>
void layer_products(const Request& q, double minus_x2, int64_t i, RealMatrix* M, Layer* sweep) {
    double w[W];
    for (int l = 0; l < W; ++l) {
        w[l] = optics::two_pi / q.wavelengths[i + l];
        M[l] = {1.0, 0.0, 0.0, 1.0};
    }
    for (int j0 = 0; j0 < q.K; j0 += layer_group) {
        const int j1 = std::min(q.K, j0 + layer_group);
        double kappas[layer_group][W], sines[layer_group][W], cosines[layer_group][W];
        for (int j = j0; j < j1; ++j) {
            if (j + ahead < q.K) {
                prefetch_columns(q.indices[j + ahead], i, W);
                prefetch_columns(q.admittances[j + ahead], i, W);
            }
            for (int l = 0; l < W; ++l) {
                const double n = q.indices[j][i + l].real();
                const double kappa = std::sqrt(n * n + minus_x2) * w[l];
                const double delta = q.thicknesses[j] * kappa;
                kappas[j - j0][l] = kappa;
                sines[j - j0][l] = std::sin(delta);
                cosines[j - j0][l] = std::cos(delta);
            }
        }
        for (int j = j0; j < j1; ++j)
            for (int l = 0; l < W; ++l) {
                const double kappa = kappas[j - j0][l], s = sines[j - j0][l], co = cosines[j - j0][l];
                const double h = q.admittances[j][i + l].real();
                const double sh = s / h, hs = h * s;
                M[l] = times(co, sh, hs, M[l]);
                if (sweep != nullptr)
                    sweep[static_cast<int64_t>(j) * group + l] = {M[l], {co, sh, hs}, kappa * h, kappa / h};
            }
    }
}

// The coefficients at wavelength i from its stack matrix. With M01 = i b and
// M10 = i c the terms P M01 + M10 and P M01 - M10 are formed as i (P b + c)
// and i (P b - c).
optics::Coefficients coefficients(const Request& q, int64_t i, const RealMatrix& M) {
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
    return c;
}

// dt, dr and dr' at one wavelength for X = dM/dd_k, into block k of slots
// 4 to 6.
struct Changes {
    cplx es, P;
    optics::Coefficients c;
    optics::DerivativeFactors a;

    void write(const Request& q, int64_t at, const RealMatrix& X) const {
        const cplx eta0 = q.eta0;
        const double X00 = X.a, X11 = X.d;
        const cplx X01(0.0, X.b), X10(0.0, X.c);
        const cplx Dk = es * X11 + eta0 * X00 + (P * X01 + X10);
        q.record[4][at] = a.t * Dk;
        q.record[5][at] = a.r * ((1.0 - c.r) * eta0 * X00 - (1.0 + c.r) * es * X11 +
                                 ((1.0 - c.r) * P * X01 - (1.0 + c.r) * X10));
        q.record[6][at] = a.rb * ((1.0 - c.rb) * es * X11 - (1.0 + c.rb) * eta0 * X00 +
                                  ((1.0 - c.rb) * P * X01 - (1.0 + c.rb) * X10));
    }
};

// The downward sweep for the g wavelengths from i, layer by layer. Above
// the top layer S is the identity.
void derivatives(const Request& q, int64_t i, int g, const optics::Coefficients* c, const Layer* sweep) {
    const int top = q.K - 1;
    Changes changes[group];
    RealMatrix S[group];
    for (int l = 0; l < g; ++l) {
        const cplx es = q.substrate[i + l];
        changes[l] = {es, es * q.eta0, c[l], optics::derivative_factors(c[l], q.eta0, es)};
        const Layer& layer = sweep[static_cast<int64_t>(top) * group + l];
        changes[l].write(q, static_cast<int64_t>(top) * q.N + i + l,
                         product({0.0, layer.k_h, layer.kh, 0.0}, layer.up_to));
        S[l] = matrix(layer.terms);
    }
    for (int k = top - 1; k >= 0; --k) {
        if (k >= ahead)
            for (int s = 4; s < 7; ++s) prefetch_for_writing(q.record[s] + static_cast<int64_t>(k - ahead) * q.N, i, g);
        for (int l = 0; l < g; ++l) {
            const Layer& layer = sweep[static_cast<int64_t>(k) * group + l];
            changes[l].write(q, static_cast<int64_t>(k) * q.N + i + l,
                             product(times_derivative_factor(S[l], layer), layer.up_to));
            if (k > 0) S[l] = product(S[l], matrix(layer.terms));
        }
    }
}

// [start, end) at its own columns; with derivatives, a sweep of group*K
// entries.
void columns(const Request& q, int start, int end, Layer* sweep) {
    const double minus_x2 = (-q.x) * q.x;
    if (q.K == 0) {
        // No layer: the bare boundary, with nothing to differentiate.
        for (int64_t i = start; i < end; ++i) coefficients(q, i, {1.0, 0.0, 0.0, 1.0});
        return;
    }
    if (q.derivatives) {
        for (int64_t i = start; i < end; i += group) {
            const int g = static_cast<int>(std::min<int64_t>(group, end - i));
            RealMatrix Mg[group];
            if (g == group)
                layer_products<group>(q, minus_x2, i, Mg, sweep);
            else
                for (int l = 0; l < g; ++l) layer_products<1>(q, minus_x2, i + l, Mg + l, sweep + l);
            optics::Coefficients c[group];
            for (int l = 0; l < g; ++l) c[l] = coefficients(q, i + l, Mg[l]);
            derivatives(q, i, g, c, sweep);
        }
        return;
    }
    RealMatrix M[2];
    int64_t i = start;
    for (; i + 2 <= end; i += 2) {
        layer_products<2>(q, minus_x2, i, M, nullptr);
        coefficients(q, i, M[0]);
        coefficients(q, i + 1, M[1]);
    }
    if (i < end) {
        layer_products<1>(q, minus_x2, i, M, nullptr);
        coefficients(q, i, M[0]);
    }
}

}  // namespace

// The caller's scratch was the running derivatives of the former algorithm;
// the sweeps take more and come from scalar_range's own.
void scalar_columns(const Request& q, int start, int end, double* /*scratch*/) {
    if (q.K < 0 || start >= end) return;
    if (!q.derivatives || q.K == 0) return columns(q, start, end, nullptr);
    scalar_range(q, start, end);
}

void scalar_range(const Request& q, int start, int end) {
    if (q.K < 0 || start >= end) return;
    if (q.K == 0) return columns(q, start, end, nullptr);
    const Scratch scratch = Scratch::required(sizeof(Layer) * group * static_cast<size_t>(q.K));
    columns(q, start, end, static_cast<Layer*>(scratch.data()));
}

int on_calling_thread(const Request& q) noexcept {
    RequestStatus status;
    status.run([&q](int start, int end) { scalar_range(q, start, end); }, 0, q.N);
    return status.code();
}

}  // namespace sardune::real_index

#include "thin_slab_reference.hpp"

#include <cmath>
#include <random>

namespace slab {

namespace {
const C I1(0, 1);
const double kTwoPi = 6.283185307179586;
}  // namespace

Mat mul(const Mat& a, const Mat& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}
Mat layer(C q, C eta, double k0, double d) {
    C delta = k0 * d * q;
    return {std::cos(delta), I1 * std::sin(delta) / eta, I1 * eta * std::sin(delta), std::cos(delta)};
}
C q_of(C n, double x) { return std::sqrt(n * n - x * x); }

Case make_case(uint32_t N, uint32_t nz, unsigned seed, bool hasP, bool hasQ) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> U(0, 1);
    Case c;
    c.N = N, c.nz = nz, c.hasP = hasP, c.hasQ = hasQ;
    c.e0 = q_of(1.0, c.x);
    c.z.resize(nz);
    for (uint32_t i = 0; i < nz; ++i) c.z[i] = c.d * U(gen);
    if (nz > 0) c.z[0] = 0.0;                                   // substrate-side boundary
    if (nz > 1) c.z[nz - 1] = c.d;                              // incidence-side boundary
    if (nz > 3) c.z[1] = -20.0, c.z[2] = c.d + 30.0;            // outside: negative t1 or t2
    const C n_sub(1.52, 0.0), n_low(1.38, 0.0), n_high(2.1, 0.02);
    for (uint32_t j = 0; j < N; ++j) {
        double lam = 400.0 + 500.0 * U(gen), k0 = kTwoPi / lam;
        C nh = c.n_host + C(0.01 * U(gen), 0.0), na = c.n_slab + C(0.0, 0.01 * U(gen));
        C qh = q_of(nh, c.x), qa = q_of(na, c.x), qs = q_of(n_sub, c.x);
        c.wl.push_back(lam);
        c.nh.push_back(nh), c.eh.push_back(qh), c.na.push_back(na), c.ea.push_back(qa);
        c.es.push_back(qs);
        Mat P = mul(layer(q_of(n_low, c.x), q_of(n_low, c.x), k0, 95.0),
                    layer(q_of(n_high, c.x), q_of(n_high, c.x), k0, 60.0));
        Mat Q = mul(layer(q_of(n_high, c.x), q_of(n_high, c.x), k0, 70.0),
                    layer(q_of(n_low, c.x), q_of(n_low, c.x), k0, 110.0 + 20 * U(gen)));
        for (int e = 0; e < 4; ++e) c.P.push_back(P[e]), c.Q.push_back(Q[e]);
    }
    // planes: element (r, c) of wavelength j at (2r + c) * N + j
    std::vector<C> Pp(4 * N), Qp(4 * N);
    for (uint32_t j = 0; j < N; ++j)
        for (int e = 0; e < 4; ++e) Pp[e * N + j] = c.P[4 * j + e], Qp[e * N + j] = c.Q[4 * j + e];
    for (uint32_t j = 0; j < N; ++j) {
        Mat P = {Pp[j], Pp[N + j], Pp[2 * N + j], Pp[3 * N + j]};
        Mat Q = {Qp[j], Qp[N + j], Qp[2 * N + j], Qp[3 * N + j]};
        Mat L = layer(c.eh[j], c.eh[j], kTwoPi / c.wl[j], c.d);
        Mat M = mul(hasP ? P : Mat{1, 0, 0, 1}, mul(L, hasQ ? Q : Mat{1, 0, 0, 1}));
        C e0 = c.e0, s = c.es[j];
        C D = e0 * M[0] + s * M[3] + e0 * s * M[1] + M[2];
        c.t.push_back(2.0 * e0 / D), c.tb.push_back(2.0 * s / D);
        c.r.push_back((e0 * M[0] - s * M[3] + e0 * s * M[1] - M[2]) / D);
        c.rb.push_back((s * M[3] - e0 * M[0] + e0 * s * M[1] - M[2]) / D);
    }
    c.P = Pp, c.Q = Qp;
    return c;
}

// The definition, step by step, in double precision.
void reference(const Case& c, std::vector<C>& dt, std::vector<C>& dr, std::vector<C>& drb) {
    const size_t N = c.N;
    dt.assign(c.nz * N, 0.0), dr.assign(c.nz * N, 0.0), drb.assign(c.nz * N, 0.0);
    for (size_t j = 0; j < N; ++j) {
        double k0 = kTwoPi / c.wl[j];
        C qh = q_of(c.nh[j], c.x), qa = q_of(c.na[j], c.x), beta = k0 * qh, eh = c.eh[j];
        Mat Delta = {0.0, I1 * k0 * (qa / c.ea[j] - qh / eh), I1 * k0 * (c.ea[j] * qa - eh * qh), 0.0};
        Mat P = {c.P[j], c.P[N + j], c.P[2 * N + j], c.P[3 * N + j]};
        Mat Q = {c.Q[j], c.Q[N + j], c.Q[2 * N + j], c.Q[3 * N + j]};
        for (size_t i = 0; i < c.nz; ++i) {
            double t1 = c.z[i] - c.z[0], t2 = c.z[c.nz - 1] - c.z[i];
            auto L = [&](double tau) {
                return Mat{std::cos(beta * tau), I1 * std::sin(beta * tau) / eh,
                           I1 * eh * std::sin(beta * tau), std::cos(beta * tau)};
            };
            Mat G = mul(L(t2), mul(Delta, L(t1)));
            if (c.hasP) G = mul(P, G);
            if (c.hasQ) G = mul(G, Q);
            C e0 = c.e0, s = c.es[j], t = c.t[j];
            C dB = G[0] + G[1] * s, dC = G[2] + G[3] * s;
            dt[i * N + j] = -(t * t / (2.0 * e0)) * (e0 * dB + dC);
            dr[i * N + j] = (t / (2.0 * e0)) * ((1.0 - c.r[j]) * e0 * dB - (1.0 + c.r[j]) * dC);
            C dBb = G[3] + G[1] * e0, dCb = G[2] + G[0] * e0;
            drb[i * N + j] = (c.tb[j] / (2.0 * s)) * ((1.0 - c.rb[j]) * s * dBb - (1.0 + c.rb[j]) * dCb);
        }
    }
}

std::array<C, 3> coefficients_with_slab(const Case& c, size_t j, double z, double e) {
    const size_t N = c.N;
    double k0 = kTwoPi / c.wl[j];
    Mat P = {c.P[j], c.P[N + j], c.P[2 * N + j], c.P[3 * N + j]};
    Mat Q = {c.Q[j], c.Q[N + j], c.Q[2 * N + j], c.Q[3 * N + j]};
    double t1 = z - c.z[0], t2 = c.z[c.nz - 1] - z;
    Mat M = mul(P, mul(layer(c.eh[j], c.eh[j], k0, t2 - e / 2),
                       mul(layer(c.ea[j], c.ea[j], k0, e), mul(layer(c.eh[j], c.eh[j], k0, t1 - e / 2), Q))));
    C e0 = c.e0, s = c.es[j];
    C D = e0 * M[0] + s * M[3] + e0 * s * M[1] + M[2];
    return {2.0 * e0 / D, (e0 * M[0] - s * M[3] + e0 * s * M[1] - M[2]) / D,
            (s * M[3] - e0 * M[0] + e0 * s * M[1] - M[2]) / D};
}

}  // namespace slab

// Thin-slab variations, N = 1024 wavelengths, 64 positions, both matrix
// stacks and all three outputs: the AVX2 build, the SSE2 build, and a
// straightforward double-precision loop over the same definition. The
// counter per_point is the time per position-wavelength.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <complex>
#include <vector>

#include "interface/exports.hpp"
#include "sardune.h"

namespace {

using C = std::complex<double>;
using Mat = std::array<C, 4>;
const C I1(0, 1);
constexpr uint32_t kN = 1024, kNz = 64;

struct Data {
    std::vector<double> wl, z;
    std::vector<C> P, Q, nh, eh, na, ea, es, t, tb, r, rb, dt, dr, drb;
    C e0 = {0.9165, 0.0};
    double x = 0.4;
    Data() {
        for (uint32_t j = 0; j < kN; ++j) {
            double lam = 400.0 + 500.0 * j / kN;
            C nh_j(1.46, 0.001), na_j(2.3, 0.05);
            wl.push_back(lam);
            nh.push_back(nh_j), na.push_back(na_j);
            eh.push_back(std::sqrt(nh_j * nh_j - x * x)), ea.push_back(std::sqrt(na_j * na_j - x * x));
            es.push_back(1.47), t.push_back({0.8, 0.1}), tb.push_back({1.2, -0.1});
            r.push_back({-0.2, 0.05}), rb.push_back({0.2, -0.03});
        }
        P.assign(4 * kN, 0.0), Q.assign(4 * kN, 0.0);
        for (uint32_t j = 0; j < kN; ++j) {
            double a = 0.3 + j * 1e-3;
            P[j] = P[3 * kN + j] = std::cos(a), P[kN + j] = I1 * std::sin(a) / 1.8, P[2 * kN + j] = I1 * std::sin(a) * 1.8;
            Q[j] = Q[3 * kN + j] = std::cos(2 * a), Q[kN + j] = I1 * std::sin(2 * a) / 1.4, Q[2 * kN + j] = I1 * std::sin(2 * a) * 1.4;
        }
        for (uint32_t i = 0; i < kNz; ++i) z.push_back(150.0 * i / (kNz - 1));
        dt.resize(kNz * kN), dr.resize(kNz * kN), drb.resize(kNz * kN);
    }
};
sardune_complex* sc(std::vector<C>& v) { return reinterpret_cast<sardune_complex*>(v.data()); }

Mat mul(const Mat& a, const Mat& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}

// The definition in double precision, with the per-wavelength work hoisted
// out of the position loop as the vector builds do.
void reference_loop(Data& d) {
    std::vector<C> beta(kN), d01(kN), d10(kN);
    for (uint32_t j = 0; j < kN; ++j) {
        double k0 = 6.283185307179586 / d.wl[j];
        C qh = std::sqrt(d.nh[j] * d.nh[j] - d.x * d.x), qa = std::sqrt(d.na[j] * d.na[j] - d.x * d.x);
        beta[j] = k0 * qh;
        d01[j] = I1 * k0 * (qa / d.ea[j] - qh / d.eh[j]);
        d10[j] = I1 * k0 * (d.ea[j] * qa - d.eh[j] * qh);
    }
    for (uint32_t i = 0; i < kNz; ++i) {
        double t1 = d.z[i] - d.z[0], t2 = d.z[kNz - 1] - d.z[i];
        for (uint32_t j = 0; j < kN; ++j) {
            C eh = d.eh[j], c1 = std::cos(beta[j] * t1), s1 = std::sin(beta[j] * t1);
            C c2 = std::cos(beta[j] * t2), s2 = std::sin(beta[j] * t2);
            Mat A = {I1 * s2 * d10[j] / eh, c2 * d01[j], c2 * d10[j], I1 * eh * s2 * d01[j]};
            Mat G = mul(A, {c1, I1 * s1 / eh, I1 * eh * s1, c1});
            G = mul(mul({d.P[j], d.P[kN + j], d.P[2 * kN + j], d.P[3 * kN + j]}, G),
                    {d.Q[j], d.Q[kN + j], d.Q[2 * kN + j], d.Q[3 * kN + j]});
            C e0 = d.e0, s = d.es[j], t = d.t[j], f = t / (2.0 * e0);
            C dB = G[0] + G[1] * s, dC = G[2] + G[3] * s;
            d.dt[i * kN + j] = -f * t * (e0 * dB + dC);
            d.dr[i * kN + j] = f * ((1.0 - d.r[j]) * e0 * dB - (1.0 + d.r[j]) * dC);
            C dBb = G[3] + G[1] * e0, dCb = G[2] + G[0] * e0;
            d.drb[i * kN + j] = d.tb[j] / (2.0 * s) * ((1.0 - d.rb[j]) * s * dBb - (1.0 + d.rb[j]) * dCb);
        }
    }
}

// Seconds per position-wavelength (printed with an SI prefix, e.g. 9.6n).
void per_point(benchmark::State& state) {
    state.counters["per_point"] = benchmark::Counter(
        double(kN) * kNz, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void run_build(benchmark::State& state, int (*fn)(SARDUNE_CALC_V_T_TAU_PARAMS)) {
    Data d;
    for (auto _ : state) {
        fn(kN, kNz, sc(d.P), sc(d.Q), sc(d.nh), sc(d.eh), d.x, sc(d.na), d.z.data(), sc(d.ea), d.wl.data(),
           reinterpret_cast<const sardune_complex*>(&d.e0), sc(d.es), sc(d.t), sc(d.tb), sc(d.r), sc(d.rb),
           sc(d.dt), sc(d.dr), sc(d.drb));
        benchmark::DoNotOptimize(d.dt.data());
        benchmark::ClobberMemory();
    }
    per_point(state);
}

void BM_thin_slab_avx(benchmark::State& state) {
    if (!(instrset_detect() >= 8 && hasFMA3())) {
        state.SkipWithError("no AVX2/FMA3");
        return;
    }
    run_build(state, calc_v_t_tau_avx);
}
void BM_thin_slab_sse(benchmark::State& state) { run_build(state, calc_v_t_tau_sse); }
void BM_thin_slab_double_reference(benchmark::State& state) {
    Data d;
    for (auto _ : state) {
        reference_loop(d);
        benchmark::DoNotOptimize(d.dt.data());
        benchmark::ClobberMemory();
    }
    per_point(state);
}

BENCHMARK(BM_thin_slab_avx)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_thin_slab_sse)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_thin_slab_double_reference)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

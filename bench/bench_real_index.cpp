// Real-index coefficients: the scalar path against a floor of its mandated
// math calls, the four-lane path against the scalar one, pool scaling, and
// how the cost of the derivatives grows with the layer count.
// Counter "layer_wl" is the time per layer and wavelength.
#include <benchmark/benchmark.h>

#include <cmath>
#include <map>

#include "engine_calls.hpp"
#include "ratio_report.hpp"

namespace {

// One coating per size, built once; the record is rewritten by every call.
struct Problem {
    ref::Coating c;
    calls::Record rec;
    Problem(int N, int K) : c(ref::lossless_coating(N, K, 42, 0.3)), rec(N, K) {}
};
Problem& problem(int N, int K) {
    static std::map<std::pair<int, int>, Problem> cache;
    auto it = cache.find({N, K});
    if (it == cache.end()) it = cache.try_emplace({N, K}, N, K).first;
    return it->second;
}

void per_layer_wavelength(benchmark::State& state, const ref::Coating& c) {
    state.counters["layer_wl"] = benchmark::Counter(double(c.N) * c.K, benchmark::Counter::kIsIterationInvariantRate |
                                                                              benchmark::Counter::kInvert);
}

// The calls the scalar path cannot avoid: a square root, a sine and a cosine
// per layer and wavelength.
void BM_FloorLoop(benchmark::State& state) {
    const ref::Coating& c = problem(1024, 40).c;
    for (auto _ : state) {
        double acc = 0.0;
        for (int i = 0; i < c.N; ++i) {
            const double w = 6.283185307179586 / c.wavelengths[i];
            for (int j = 0; j < c.K; ++j) {
                const double n = c.n(j, i).real();
                const double delta = c.thicknesses[j] * (std::sqrt(n * n - c.x * c.x) * w);
                acc += std::sin(delta) + std::cos(delta);
            }
        }
        benchmark::DoNotOptimize(acc);
    }
    per_layer_wavelength(state, c);
}
BENCHMARK(BM_FloorLoop);

void BM_Scalar(benchmark::State& state) {
    Problem& p = problem(1024, 40);
    const bool derivatives = state.range(0) != 0;
    for (auto _ : state) benchmark::DoNotOptimize(calls::real_index_scalar(p.c, p.rec, derivatives));
    per_layer_wavelength(state, p.c);
}
BENCHMARK(BM_Scalar)->Arg(0)->Arg(1);

void BM_Vector(benchmark::State& state) {
    init(1);
    Problem& p = problem(1024, 40);
    const bool derivatives = state.range(0) != 0;
    for (auto _ : state) benchmark::DoNotOptimize(calls::real_index_simd(p.c, p.rec, derivatives));
    per_layer_wavelength(state, p.c);
}
BENCHMARK(BM_Vector)->Arg(0)->Arg(1);

// range(0): threads given to init.
void BM_VectorPool(benchmark::State& state) {
    init(static_cast<int>(state.range(0)));
    Problem& p = problem(8192, 40);
    for (auto _ : state) benchmark::DoNotOptimize(calls::real_index_simd(p.c, p.rec, false));
    per_layer_wavelength(state, p.c);
    init(1);
}
BENCHMARK(BM_VectorPool)->Arg(1)->Arg(2)->UseRealTime();

// With derivatives at N = 1024, range(0) layers: the scalar entry point, and
// the pooled one on a single thread.
void BM_ScalarDerivatives(benchmark::State& state) {
    Problem& p = problem(1024, static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(calls::real_index_scalar(p.c, p.rec, true));
    per_layer_wavelength(state, p.c);
}
BENCHMARK(BM_ScalarDerivatives)->Arg(64)->Arg(256);

void BM_PooledDerivatives(benchmark::State& state) {
    init(1);
    Problem& p = problem(1024, static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(calls::real_index_simd(p.c, p.rec, true));
    per_layer_wavelength(state, p.c);
}
BENCHMARK(BM_PooledDerivatives)->Arg(64)->Arg(256);

}  // namespace

int main(int argc, char** argv) {
    return run_with_ratios(argc, argv, [](const RatioReport& r) {
        r.ratio("scalar over its floor of math calls (time), no derivatives", "BM_Scalar/0", "BM_FloorLoop", 1.3,
                false);
        r.ratio("scalar over four-lane (time), no derivatives", "BM_Scalar/0", "BM_Vector/0", 5.0);
        r.ratio("scalar over four-lane (time), with derivatives", "BM_Scalar/1", "BM_Vector/1", 3.0);
        r.ratio("four-lane K=40, with over without derivatives (time)", "BM_Vector/1", "BM_Vector/0", 2.5, false);
        r.ratio("scalar with derivatives, K=256 over K=64 (time)", "BM_ScalarDerivatives/256",
                "BM_ScalarDerivatives/64", 4.5, false);
        r.ratio("pooled entry point with derivatives, K=256 over K=64 (time)", "BM_PooledDerivatives/256",
                "BM_PooledDerivatives/64", 4.5, false);
        r.ratio("four-lane, N=8192, init(1) over init(2)", "BM_VectorPool/1/real_time", "BM_VectorPool/2/real_time",
                1.8);
    });
}

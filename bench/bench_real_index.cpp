// Real-index coefficients: the scalar path against a floor of its mandated
// math calls, the four-lane path against the scalar one, and pool scaling.
// Counter "layer_wl" is the time per layer and wavelength.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <vector>

#include "interface/exports.hpp"
#include "core/thread_pool.hpp"

namespace {

struct Problem {
    int N, K;
    double x = 0.3;
    std::complex<double> eta0{0.954, 0.0};
    std::vector<double> wavelengths, thicknesses;
    std::vector<std::vector<std::complex<double>>> indices, admittances;
    std::vector<const std::complex<double>*> index_rows, admittance_rows;
    std::vector<std::complex<double>> substrate;
    std::vector<std::vector<std::complex<double>>> slots;
    std::vector<std::complex<double>*> record;

    Problem(int n, int k) : N(n), K(k), indices(k), admittances(k), slots(7) {
        for (int i = 0; i < N; ++i) {
            wavelengths.push_back(400.0 + 500.0 * i / N);
            substrate.emplace_back(1.49, 0.001);
        }
        for (int j = 0; j < K; ++j) {
            const double n0 = j % 2 ? 1.45 : 2.3;
            thicknesses.push_back(550.0 / (4 * n0) * (1.0 + 0.01 * j));
            for (int i = 0; i < N; ++i) {
                indices[j].emplace_back(n0 + 0.01 * i / N, 0.0);
                admittances[j].emplace_back(std::sqrt(n0 * n0 - x * x), 0.0);
            }
            index_rows.push_back(indices[j].data());
            admittance_rows.push_back(admittances[j].data());
        }
        for (int s = 0; s < 7; ++s) {
            slots[s].resize(s < 4 ? N : size_t(K) * N);
            record.push_back(slots[s].data());
        }
    }
    template <class Entry>
    int run(Entry entry, bool derivatives) {
        return entry(N, K, wavelengths.data(), thicknesses.data(),
                     reinterpret_cast<const sardune_complex* const*>(index_rows.data()),
                     reinterpret_cast<const sardune_complex* const*>(admittance_rows.data()),
                     reinterpret_cast<const sardune_complex*>(&eta0),
                     reinterpret_cast<const sardune_complex*>(substrate.data()), x,
                     reinterpret_cast<sardune_complex* const*>(record.data()), derivatives);
    }
};

void per_layer_wavelength(benchmark::State& state, const Problem& p) {
    state.counters["layer_wl"] = benchmark::Counter(double(p.N) * p.K, benchmark::Counter::kIsIterationInvariantRate |
                                                                             benchmark::Counter::kInvert);
}

// The calls the scalar path cannot avoid: a square root, a sine and a cosine
// per layer and wavelength.
void BM_FloorLoop(benchmark::State& state) {
    Problem p(1024, 40);
    for (auto _ : state) {
        double acc = 0.0;
        for (int i = 0; i < p.N; ++i) {
            const double w = 6.283185307179586 / p.wavelengths[i];
            for (int j = 0; j < p.K; ++j) {
                const double n = p.indices[j][i].real();
                const double delta = p.thicknesses[j] * (std::sqrt(n * n - p.x * p.x) * w);
                acc += std::sin(delta) + std::cos(delta);
            }
        }
        benchmark::DoNotOptimize(acc);
    }
    per_layer_wavelength(state, p);
}
BENCHMARK(BM_FloorLoop);

void BM_Scalar(benchmark::State& state) {
    Problem p(1024, 40);
    const bool derivatives = state.range(0) != 0;
    for (auto _ : state) benchmark::DoNotOptimize(p.run(update_optiprops_real_n, derivatives));
    per_layer_wavelength(state, p);
}
BENCHMARK(BM_Scalar)->Arg(0)->Arg(1);

void BM_Vector(benchmark::State& state) {
    init(1);
    Problem p(1024, 40);
    const bool derivatives = state.range(0) != 0;
    for (auto _ : state) benchmark::DoNotOptimize(p.run(update_optiprops_real_n_simd, derivatives));
    per_layer_wavelength(state, p);
}
BENCHMARK(BM_Vector)->Arg(0)->Arg(1);

// range(0): threads given to init.
void BM_VectorPool(benchmark::State& state) {
    init(static_cast<int>(state.range(0)));
    Problem p(8192, 40);
    for (auto _ : state) benchmark::DoNotOptimize(p.run(update_optiprops_real_n_simd, false));
    per_layer_wavelength(state, p);
    init(1);
}
BENCHMARK(BM_VectorPool)->Arg(1)->Arg(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

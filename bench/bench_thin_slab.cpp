// Thin-slab variations, N = 1024 wavelengths, 64 positions, both matrix
// stacks and all three outputs: the AVX2 build, the SSE2 build, and the
// double-precision definition of the test support. The counter per_point is
// the time per position-wavelength.
#include <benchmark/benchmark.h>

#include <vector>

#include "cpu/dispatch.hpp"
#include "ratio_report.hpp"
#include "sardune.h"
#include "thin_slab_reference.hpp"

namespace {

constexpr uint32_t kN = 1024, kNz = 64;

const slab::Case& data() {
    static const slab::Case c = slab::make_case(kN, kNz, 7);
    return c;
}
const sardune_complex* sc(const std::vector<slab::C>& v) { return reinterpret_cast<const sardune_complex*>(v.data()); }
sardune_complex* sc(std::vector<slab::C>& v) { return reinterpret_cast<sardune_complex*>(v.data()); }

// Seconds per position-wavelength (printed with an SI prefix, e.g. 9.6n).
void per_point(benchmark::State& state) {
    state.counters["per_point"] = benchmark::Counter(
        double(kN) * kNz, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void run_build(benchmark::State& state, int (*fn)(SARDUNE_CALC_V_T_TAU_PARAMS)) {
    const slab::Case& d = data();
    std::vector<slab::C> dt(kN * kNz), dr(kN * kNz), drb(kN * kNz);
    for (auto _ : state) {
        fn(kN, kNz, sc(d.P), sc(d.Q), sc(d.nh), sc(d.eh), d.x, sc(d.na), d.z.data(), sc(d.ea), d.wl.data(),
           reinterpret_cast<const sardune_complex*>(&d.e0), sc(d.es), sc(d.t), sc(d.tb), sc(d.r), sc(d.rb), sc(dt),
           sc(dr), sc(drb));
        benchmark::DoNotOptimize(dt.data());
        benchmark::ClobberMemory();
    }
    per_point(state);
}

void BM_thin_slab_avx(benchmark::State& state) {
    if (!sardune::cpu_has_avx2_fma()) {
        state.SkipWithError("no AVX2/FMA3");
        return;
    }
    run_build(state, calc_v_t_tau_avx);
}
void BM_thin_slab_sse(benchmark::State& state) { run_build(state, calc_v_t_tau_sse); }
void BM_thin_slab_double_reference(benchmark::State& state) {
    std::vector<slab::C> dt, dr, drb;
    for (auto _ : state) {
        slab::reference(data(), dt, dr, drb);
        benchmark::DoNotOptimize(dt.data());
        benchmark::ClobberMemory();
    }
    per_point(state);
}

BENCHMARK(BM_thin_slab_avx)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_thin_slab_sse)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_thin_slab_double_reference)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return run_with_ratios(argc, argv, [](const RatioReport& r) {
        r.ratio("SSE2 build over AVX2 build (time)", "BM_thin_slab_sse", "BM_thin_slab_avx", 1.6);
        r.ratio("double definition over SSE2 build (time)", "BM_thin_slab_double_reference", "BM_thin_slab_sse", 4.0);
    });
}

// Partial-stack coefficients with derivatives: pool speed-up at N = 4096 with
// 40 added layers, and the batched product per matrix-wavelength.
#include <complex>
#include <vector>

#include "engine_calls.hpp"
#include "reference.hpp"
#include "ratio_report.hpp"

namespace {

using cplx = std::complex<double>;

void BM_update_top_props(benchmark::State& s) {
    static const ref::Coating c = ref::random_coating(4096, 48, 42, 0.4);
    const int d0 = 8;
    ref::Coating lower = c;
    lower.K = d0;
    std::vector<cplx> base(4 * size_t(c.N));
    calls::calc_M(lower, base);
    calls::Records out(c.N, c.K - d0);
    init(int(s.range(0)));
    for (auto _ : s) calls::update_top_props(c, d0, base, out, true);
    init(1);
}

void BM_matmul(benchmark::State& s) {
    const int N = 4096, count = 32;
    std::vector<std::vector<cplx>> stacks(count, std::vector<cplx>(4 * N, cplx(0.7, 0.1)));
    std::vector<const sardune_complex*> ptrs;
    for (auto& v : stacks) ptrs.push_back(calls::sc(v.data()));
    std::vector<cplx> P(4 * N);
    for (auto _ : s) matmul_22X(count, N, ptrs.data(), calls::sc(P.data()));
    s.counters["ns/matrix-wavelength"] =
        benchmark::Counter(1e-9 * N * count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_update_top_props)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_matmul)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return run_with_ratios(argc, argv, [](const RatioReport& r) {
        r.ratio("update_top_props with derivatives, init(2) over init(1), N=4096, K-d0=40",
                "BM_update_top_props/1/real_time", "BM_update_top_props/2/real_time", 1.8);
    });
}

// Transfer-matrix kernels: cost per layer-wavelength against the floor of the
// calls they must make, pool speed-up, and linear growth in K of the
// forward-backward sweeps.
#include <complex>
#include <map>
#include <vector>

#include "cpu/dispatch.hpp"
#include "engine_calls.hpp"
#include "reference.hpp"
#include "ratio_report.hpp"

namespace {

using cplx = std::complex<double>;

const ref::Coating& coating(int N, int K) {
    static std::map<std::pair<int, int>, ref::Coating> cache;
    auto it = cache.find({N, K});
    if (it == cache.end()) it = cache.emplace(std::make_pair(N, K), ref::random_coating(N, K, 42, 0.4)).first;
    return it->second;
}


// The calls every layer-wavelength needs: one complex square root, sine,
// cosine and division, chained so that none can be dropped.
void BM_floor(benchmark::State& s) {
    const int N = 1024, K = 48;
    const ref::Coating& c = coating(N, K);
    for (auto _ : s) {
        cplx acc(0.0, 0.0);
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < K; ++j) {
                const cplx q = std::sqrt(c.n(j, i) + acc * 1e-300);
                const cplx delta = q * (c.thicknesses[j] / c.wavelengths[i]);
                acc += std::sin(delta) + std::cos(delta) + cplx(0.0, 1.0) / c.eta(j, i);
            }
        benchmark::DoNotOptimize(acc);
    }
    s.counters["ns/layer-wavelength"] =
        benchmark::Counter(1e-9 * N * K, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The C-library kernel (the baseline builds) against that floor.
void BM_calc_M(benchmark::State& s) {
    const int N = 1024, K = 48;
    const ref::Coating& c = coating(N, K);
    std::vector<cplx> M(4 * N);
    init(1);
    sardune::testing::use_baseline_builds(true);
    for (auto _ : s) calls::calc_M(c, M);
    sardune::testing::use_baseline_builds(false);
    s.counters["ns/layer-wavelength"] =
        benchmark::Counter(1e-9 * N * K, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

template <int which>
void BM_threads(benchmark::State& s) {
    const int N = 8192, K = 48;
    const ref::Coating& c = coating(N, K);
    std::vector<cplx> M(4 * N), P(4 * N), L(4 * size_t(K) * N), D(4 * size_t(K) * N);
    init(int(s.range(0)));
    for (auto _ : s) {
        if (which == 0) calls::calc_M(c, M);
        if (which == 1) calls::forward(c, M, P);
        if (which == 2) calls::forward_backward(c, M, L, D);
    }
    init(1);
}

void BM_forward_backward_K(benchmark::State& s) {
    const int N = 1024, K = int(s.range(0));
    const ref::Coating& c = coating(N, K);
    std::vector<cplx> M(4 * N), L(4 * size_t(K) * N), D(4 * size_t(K) * N);
    init(1);
    for (auto _ : s) calls::forward_backward(c, M, L, D);
}

// The absorbing path, single thread, N = 8192, K = 48, oblique: the four-lane
// build (arg 1) against the C-library kernels (arg 0, the baseline builds).
// update_top_props with derivatives adds the top 40 layers (d0 = 8).
const ref::Coating& strongly_absorbing() {
    static const ref::Coating c = ref::random_coating(8192, 48, 7, 0.6, 0.5);
    return c;
}

template <int which>
void BM_absorbing(benchmark::State& s) {
    const ref::Coating& c = strongly_absorbing();
    const int N = c.N, K = c.K, d0 = which == 3 ? 8 : 0;
    std::vector<cplx> M(4 * N), P(4 * N), L, D;
    if (which == 2) L.resize(4 * size_t(K) * N), D.resize(4 * size_t(K) * N);
    calls::Records records(which == 3 ? N : 1, which == 3 ? K - d0 : 1);
    std::vector<cplx> base(4 * N);
    calls::calc_M(c, base);
    init(1);
    sardune::testing::use_baseline_builds(s.range(0) == 0);
    for (auto _ : s) {
        if (which == 0) calls::calc_M(c, M);
        if (which == 1) calls::forward(c, M, P);
        if (which == 2) calls::forward_backward(c, M, L, D);
        if (which == 3) calls::update_top_props(c, d0, base, records, true);
    }
    sardune::testing::use_baseline_builds(false);
    s.counters["ns/layer-wavelength"] = benchmark::Counter(
        1e-9 * N * (K - d0), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_top_props_threads(benchmark::State& s) {
    const ref::Coating& c = strongly_absorbing();
    calls::Records records(c.N, c.K);
    init(int(s.range(0)));
    for (auto _ : s) calls::update_top_props(c, 0, {}, records, false);
    init(1);
}

BENCHMARK(BM_absorbing<0>)->Name("absorbing/calc_M")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_absorbing<1>)->Name("absorbing/forward")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_absorbing<2>)->Name("absorbing/forward_backward")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_absorbing<3>)->Name("absorbing/update_top_props")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_top_props_threads)->Name("update_top_props/threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_floor)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_calc_M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_threads<0>)->Name("calc_M/threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_threads<1>)->Name("forward/threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_threads<2>)->Name("forward_backward/threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_forward_backward_K)->Arg(64)->Arg(256)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return run_with_ratios(argc, argv, [](const RatioReport& r) {
        r.ratio("calc_M / floor, per layer-wavelength", "BM_calc_M", "BM_floor", 1.25, false);
        r.ratio("absorbing calc_M: C library / four-lane", "absorbing/calc_M/0", "absorbing/calc_M/1", 10.0);
        r.ratio("absorbing forward: C library / four-lane", "absorbing/forward/0", "absorbing/forward/1", 10.0);
        r.ratio("absorbing forward_backward: C library / four-lane", "absorbing/forward_backward/0",
                "absorbing/forward_backward/1", 5.0);
        r.ratio("absorbing update_top_props, derivatives, K-d0=40: C library / four-lane",
                "absorbing/update_top_props/0", "absorbing/update_top_props/1", 4.0);
        for (const char* f : {"calc_M", "forward", "forward_backward", "update_top_props"})
            r.ratio(std::string(f) + " speed-up init(2) over init(1), N=8192 K=48",
                    std::string(f) + "/threads/1/real_time", std::string(f) + "/threads/2/real_time", 1.8);
        r.ratio("forward_backward time(K=256) / time(K=64)", "BM_forward_backward_K/256", "BM_forward_backward_K/64",
                4.4, false);
    });
}

// What the gate between requests and init costs a request: one pass through
// it (alone and with two threads passing at once) against the smallest
// request that passes it and against a pooled request of ordinary size.
#include <complex>
#include <vector>

#include "core/request_gate.hpp"
#include "engine_calls.hpp"
#include "ratio_report.hpp"
#include "reference.hpp"

namespace {

using cplx = std::complex<double>;

void BM_gate_pass(benchmark::State& s) {
    for (auto _ : s) {
        const sardune::PoolAdmission admission;
        benchmark::DoNotOptimize(admission.pool());
    }
}

// One wavelength, one layer, no pool: little but the gate and the frame.
void BM_smallest_request(benchmark::State& s) {
    const ref::Coating c = ref::random_coating(1, 1, 7);
    std::vector<cplx> M(4);
    init(1);
    for (auto _ : s) benchmark::DoNotOptimize(calls::calc_M(c, M));
}

void BM_pooled_request(benchmark::State& s) {
    const ref::Coating c = ref::random_coating(256, 20, 7);
    std::vector<cplx> M(4 * c.N);
    init(2);
    for (auto _ : s) benchmark::DoNotOptimize(calls::calc_M(c, M));
    init(1);
}

}  // namespace

BENCHMARK(BM_gate_pass);
BENCHMARK(BM_gate_pass)->Threads(2);
BENCHMARK(BM_smallest_request);
BENCHMARK(BM_pooled_request)->UseRealTime();

int main(int argc, char** argv) {
    return run_with_ratios(argc, argv, [](const RatioReport& r) {
        r.ratio("smallest request (1 wavelength, 1 layer) / gate pass", "BM_smallest_request", "BM_gate_pass", 5);
        r.ratio("smallest request / gate pass, two threads at once", "BM_smallest_request",
                "BM_gate_pass/threads:2", 4);
        r.ratio("pooled request (256 wavelengths, 20 layers) / gate pass", "BM_pooled_request/real_time",
                "BM_gate_pass", 1000);
    });
}

// The spectrum tool's sensitivities for 400 layers x 4001 wavelengths,
// lossless and absorbing: its linear-cost path against the partial-coating
// path it used before (update_top_props, records growing as K^2 N), and the
// peak resident memory of the program itself, also for the largest design it
// takes.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <complex>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "model.hpp"
#include "ratio_report.hpp"
#include "sardune.h"

namespace {

using spectrum::cplx;

// The default reflector's two layers, repeated: 400 layers from 400 to 800 nm
// by 0.1 nm.
spectrum::Setup problem(bool absorbing) {
    spectrum::Setup s;
    s.design = spectrum::empty_design();
    for (int j = 0; j < 400; ++j) {
        spectrum::Layer l;
        l.n = j % 2 == 0 ? 2.35 : 1.46;
        l.k = absorbing ? (j % 2 == 0 ? 0.0005 : 0.0001) : 0.0;
        l.thickness_nm = 550.0 / (4 * l.n);
        s.design.layers.push_back(l);
    }
    s.from_nm = 400, s.to_nm = 800, s.step_nm = 0.1;
    return s;
}

// The tool's computation as it was: update_top_props over batches whose
// records stay within 64 MiB, the largest |dR/dd_k| taken from the last record.
std::vector<double> by_partial_coatings(const spectrum::Setup& s) {
    const std::vector<double> wl = spectrum::wavelength_grid(s.from_nm, s.to_nm, s.step_nm);
    const int N = static_cast<int>(wl.size()), K = static_cast<int>(s.design.layers.size());
    const spectrum::Incidence in = spectrum::incidence(s.design.incident.n, s.angle_deg);
    const cplx eta0 = spectrum::incident_admittance(in, 's');
    const cplx substrate_index(s.design.substrate.n, -s.design.substrate.k);
    std::vector<cplx> substrate(N, spectrum::admittance(substrate_index, in, 's'));
    std::vector<double> d;
    std::vector<cplx> n(size_t(K) * N), eta(size_t(K) * N);
    std::vector<const sardune_complex*> n_rows, eta_rows;
    for (int j = 0; j < K; ++j) {
        const spectrum::Layer& l = s.design.layers[j];
        d.push_back(l.thickness_nm);
        std::fill_n(n.begin() + size_t(j) * N, N, cplx(l.n, -l.k));
        std::fill_n(eta.begin() + size_t(j) * N, N, spectrum::admittance(cplx(l.n, -l.k), in, 's'));
        n_rows.push_back(reinterpret_cast<const sardune_complex*>(n.data() + size_t(j) * N));
        eta_rows.push_back(reinterpret_cast<const sardune_complex*>(eta.data() + size_t(j) * N));
    }
    const size_t per_wavelength = (size_t(K) * 4 + size_t(K) * (K + 1) / 2 * 3) * sizeof(cplx);
    const int batch = static_cast<int>(std::clamp<size_t>((size_t(64) << 20) / per_wavelength, 1, size_t(N)));
    std::vector<std::vector<cplx>> storage(size_t(K) * 7);
    std::vector<std::vector<sardune_complex*>> slots(K, std::vector<sardune_complex*>(7));
    std::vector<sardune_complex* const*> records(K);
    for (int j = 0; j < K; ++j) {
        for (int slot = 0; slot < 7; ++slot) {
            std::vector<cplx>& v = storage[size_t(j) * 7 + slot];
            v.resize(size_t(batch) * (slot < 4 ? 1 : j + 1));
            slots[j][slot] = reinterpret_cast<sardune_complex*>(v.data());
        }
        records[j] = slots[j].data();
    }
    std::vector<const sardune_complex*> n_at(K), eta_at(K);
    const std::vector<cplx>* last = &storage[size_t(K - 1) * 7];
    std::vector<double> max_dR;
    for (int first = 0; first < N; first += batch) {
        const int count = std::min(batch, N - first);
        for (int j = 0; j < K; ++j) n_at[j] = n_rows[j] + first, eta_at[j] = eta_rows[j] + first;
        update_top_props(count, K, wl.data() + first, d.data(), n_at.data(), eta_at.data(),
                         reinterpret_cast<const sardune_complex*>(&eta0),
                         reinterpret_cast<const sardune_complex*>(substrate.data()) + first, in.x, nullptr, 0,
                         records.data(), true);
        for (int i = 0; i < count; ++i) {
            double worst = 0.0;
            for (int k = 0; k < K; ++k)
                worst = std::max(worst, std::abs(2.0 * std::real(std::conj(last[2][i]) * last[5][size_t(k) * count + i])));
            max_dR.push_back(worst);
        }
    }
    return max_dR;
}

void BM_PartialCoatingPath(benchmark::State& state) {
    const spectrum::Setup s = problem(state.range(0) != 0);
    init(s.threads);
    for (auto _ : state) benchmark::DoNotOptimize(by_partial_coatings(s));
}
BENCHMARK(BM_PartialCoatingPath)->ArgName("absorbing")->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_Tool(benchmark::State& state) {
    const spectrum::Setup s = problem(state.range(0) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(spectrum::compute(s));
}
BENCHMARK(BM_Tool)->ArgName("absorbing")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Peak resident memory of the program computing a design file's layers, CSV
// to /dev/null, in MiB. A forked child starts with its parent's resident
// pages, so this runs before the benchmarks have grown the parent.
double program_peak_mib(const std::vector<spectrum::Layer>& layers, const std::vector<const char*>& options) {
    const std::string design = "/tmp/bench_spectrum_tool_" + std::to_string(getpid()) + ".design";
    {
        std::ofstream f(design);
        f.precision(17);
        for (const spectrum::Layer& l : layers) f << l.n << ' ' << l.k << ' ' << l.thickness_nm << '\n';
    }
    std::vector<const char*> argv = {SPECTRUM_TOOL, "--design", design.c_str()};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(nullptr);
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr)) _exit(127);
        execv(SPECTRUM_TOOL, const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    std::remove(design.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

// The largest design the tool takes: max_layers absorbing layers, the
// default reflector's repeated (outside its stop band, where 50000 periods
// would overflow any matrix).
std::vector<spectrum::Layer> largest_design() {
    std::vector<spectrum::Layer> layers = problem(true).design.layers;
    while (layers.size() < spectrum::max_layers) layers.push_back(layers[layers.size() % 400]);
    return layers;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<const char*> grid = {"--from", "400", "--to", "800", "--step", "0.1"};
    const double peak_mib[] = {program_peak_mib(problem(false).design.layers, grid),
                               program_peak_mib(problem(true).design.layers, grid)};
    const double largest_mib = program_peak_mib(largest_design(), {"--range", "700", "700", "1"});
    return run_with_ratios(argc, argv, [&](const RatioReport& r) {
        r.ratio("lossless: partial-coating path / tool", "BM_PartialCoatingPath/absorbing:0/iterations:1/real_time",
                "BM_Tool/absorbing:0/real_time", 5.0);
        r.ratio("absorbing: partial-coating path / tool", "BM_PartialCoatingPath/absorbing:1/iterations:1/real_time",
                "BM_Tool/absorbing:1/real_time", 5.0);
        for (const bool absorbing : {false, true}) {
            const double mib = peak_mib[absorbing];
            std::printf("%-60s %7.1f  (target <= 128 MiB: %s)\n",
                        absorbing ? "absorbing: peak resident memory of the program, MiB"
                                  : "lossless: peak resident memory of the program, MiB",
                        mib, mib > 0 && mib <= 128 ? "met" : "NOT met");
        }
        // The tool's workspace (32 MiB) and the engine's scratch for one wavelength.
        std::printf("%-60s %7.1f  (target <= 96 MiB: %s)\n", "100000 layers, one wavelength: peak resident memory, MiB",
                    largest_mib, largest_mib > 0 && largest_mib <= 96 ? "met" : "NOT met");
    });
}

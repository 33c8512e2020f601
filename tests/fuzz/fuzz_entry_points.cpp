// libFuzzer harness over every C entry point. The fuzzer chooses the entry
// point, the thread count, every count (negative ones, and for the thin slab
// unsigned ones beyond INT32_MAX) and every double (NaN, infinities,
// denormals, huge values, or ordinary optical data). The harness allocates
// each array at exactly the size the counts it passes call for, so that the
// address sanitizer sees any access outside; outputs start as a sentinel.
// Every request must return the status its counts call for, and an invalid
// one must leave every output as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "cpu/dispatch.hpp"
#include "sardune.h"

namespace {

using cplx = std::complex<double>;  // the layout of sardune_complex

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

const cplx kSentinel(-12345.5, 777.25);

// The fuzzer's bytes as the values of one request.
class Input {
public:
    Input(const uint8_t* data, size_t size) : fdp_(data, size) {}

    bool flag() { return fdp_.ConsumeBool(); }
    template <class T> T pick(std::initializer_list<T> choices) {
        return *(choices.begin() + fdp_.ConsumeIntegralInRange<size_t>(0, choices.size() - 1));
    }
    // Mostly in [lo, hi]; now and then the most negative int, which makes
    // an empty request of any shape.
    int count(int lo, int hi) {
        if (fdp_.ConsumeIntegralInRange(0, 15) == 0) return pick({INT32_MIN, INT32_MIN + 1, -1000000});
        return fdp_.ConsumeIntegralInRange(lo, hi);
    }
    // A thin-slab count: small, or one that only a negative int could give.
    uint32_t unsigned_count(uint32_t hi) {
        if (fdp_.ConsumeIntegralInRange(0, 11) == 0)
            return pick({uint32_t(INT32_MAX) + 1, uint32_t(-1), uint32_t(-7), uint32_t(3000000000u)});
        return fdp_.ConsumeIntegralInRange<uint32_t>(0, hi);
    }
    // Ordinary optical data in [lo, hi] half the time, else a value from the
    // edges of the double format, else any bit pattern.
    double value(double lo, double hi) {
        switch (fdp_.ConsumeIntegralInRange(0, 7)) {
            case 0:
                return pick({std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
                             HUGE_VAL, -HUGE_VAL, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300,
                             1e300, -1e300, 1.7976931348623157e308, -1.7976931348623157e308, 1e15, 1e16, 1e-15,
                             1.0, -1.0});
            case 1: {
                uint64_t bits = fdp_.ConsumeIntegral<uint64_t>();
                double d;
                std::memcpy(&d, &bits, sizeof d);
                return d;
            }
            case 2:
                return fdp_.ConsumeFloatingPoint<double>();
            default:
                return fdp_.ConsumeFloatingPointInRange(lo, hi);
        }
    }
    cplx complex_value(double lo, double hi, double im_lo, double im_hi) {
        const double re = value(lo, hi);
        return {re, value(im_lo, im_hi)};
    }

private:
    FuzzedDataProvider fdp_;
};

// An array of exactly n elements (none for n <= 0), filled by the fuzzer.
std::vector<double> doubles(Input& in, int64_t n, double lo, double hi) {
    std::vector<double> v(size_t(std::max<int64_t>(n, 0)));
    for (double& d : v) d = in.value(lo, hi);
    return v;
}
std::vector<cplx> complexes(Input& in, int64_t n, double lo, double hi, double im_lo, double im_hi) {
    std::vector<cplx> v(size_t(std::max<int64_t>(n, 0)));
    for (cplx& z : v) z = in.complex_value(lo, hi, im_lo, im_hi);
    return v;
}
std::vector<cplx> outputs(int64_t n) { return std::vector<cplx>(size_t(std::max<int64_t>(n, 0)), kSentinel); }
bool untouched(const std::vector<cplx>& v) {
    for (const cplx& z : v)
        if (std::memcmp(&z, &kSentinel, sizeof z) != 0) return false;
    return true;
}

const sardune_complex* sc(const cplx* p) { return reinterpret_cast<const sardune_complex*>(p); }
sardune_complex* sc(cplx* p) { return reinterpret_cast<sardune_complex*>(p); }
const sardune_complex* sc(const std::vector<cplx>& v) { return v.empty() ? nullptr : sc(v.data()); }
sardune_complex* sc(std::vector<cplx>& v) { return v.empty() ? nullptr : sc(v.data()); }

// A coating's inputs for N wavelengths and K layers: indices n - ik and
// admittances of ordinary size most of the time.
struct Layers {
    int N, K;
    std::vector<double> wavelengths, thicknesses;
    std::vector<cplx> indices, admittances, substrate;  // flat K*N, and N
    std::vector<const sardune_complex*> index_rows, admittance_rows;
    double x;
    cplx eta0;

    Layers(Input& in, int N_, int K_) : N(N_), K(K_) {
        const int64_t n = std::max(N, 0), k = std::max(K, 0);
        wavelengths = doubles(in, n, 200.0, 2000.0);
        thicknesses = doubles(in, k, 0.0, 500.0);
        indices = complexes(in, k * n, 1.0, 3.5, -0.2, 0.0);
        admittances = complexes(in, k * n, 0.5, 3.5, -0.2, 0.0);
        substrate = complexes(in, n, 1.0, 3.0, -0.1, 0.0);
        for (int64_t j = 0; j < k; ++j) {
            index_rows.push_back(n ? sc(indices.data() + j * n) : nullptr);
            admittance_rows.push_back(n ? sc(admittances.data() + j * n) : nullptr);
        }
        x = in.value(0.0, 1.2);
        eta0 = in.complex_value(0.8, 1.5, -0.01, 0.0);
    }
    const double* wl() const { return wavelengths.empty() ? nullptr : wavelengths.data(); }
    const double* d() const { return thicknesses.empty() ? nullptr : thicknesses.data(); }
    const sardune_complex* const* n_rows() const { return index_rows.empty() ? nullptr : index_rows.data(); }
    const sardune_complex* const* eta_rows() const {
        return admittance_rows.empty() ? nullptr : admittance_rows.data();
    }
};

// The seven slots of a coefficient record: four of N, three of `blocks`
// blocks of N (absent without derivatives).
struct Record {
    std::vector<cplx> slots[7];
    sardune_complex* pointers[7];
    Record(int N, int blocks, bool derivatives) {
        for (int s = 0; s < 7; ++s) {
            const int64_t size = s < 4 ? int64_t(N) : (derivatives ? int64_t(blocks) * N : 0);
            slots[s] = outputs(size);
            pointers[s] = sc(slots[s]);
        }
    }
    bool untouched() const {
        for (const auto& s : slots)
            if (!::untouched(s)) return false;
        return true;
    }
};

void stack_matrix(Input& in) {
    const int N = in.count(-3, 40), K = in.count(-3, 10);
    const Layers c(in, N, K);
    std::vector<cplx> M = outputs(4 * int64_t(std::max(N, 0)));
    CHECK(calc_M(N, K, c.wl(), c.d(), c.n_rows(), c.eta_rows(), c.x, sc(M)) == SARDUNE_OK);
}

void forward_products(Input& in) {
    const int N = in.count(-3, 40), K = in.count(-3, 10);
    const Layers c(in, N, K);
    std::vector<cplx> M = outputs(4 * int64_t(std::max(N, 0))), P = outputs(4 * int64_t(std::max(N, 0)));
    CHECK(forward(N, K, c.wl(), c.d(), sc(c.indices), sc(c.admittances), c.x, sc(M), sc(P)) == SARDUNE_OK);
}

void forward_backward_sweeps(Input& in) {
    const int N = in.count(-3, 40), K = in.count(-3, 10);
    const Layers c(in, N, K);
    const int64_t n = std::max(N, 0), k = std::max(K, 0);
    std::vector<cplx> M = outputs(4 * n), L = outputs(4 * k * n), D = outputs(4 * k * n);
    CHECK(forward_backward(N, K, c.wl(), c.d(), sc(c.indices), sc(c.admittances), c.x, sc(M), sc(L), sc(D)) ==
          SARDUNE_OK);
}

void partial_coatings(Input& in) {
    const int N = in.count(-3, 30), K = in.count(-3, 8);
    const int d0 = in.count(-2, std::max(K, 0) + 2);
    const bool derivatives = in.flag();
    const Layers c(in, N, K);
    const bool valid = d0 >= 0 && d0 <= K;
    const int64_t n = std::max(N, 0);
    // The base matrix is read only with layers below d0.
    std::vector<cplx> base = valid && d0 > 0 ? complexes(in, 4 * n, -2.0, 2.0, -2.0, 2.0) : std::vector<cplx>();
    std::vector<Record> records;
    std::vector<sardune_complex* const*> table;
    if (valid) {
        records.reserve(size_t(K - d0));
        for (int m = 0; m < K - d0; ++m) records.emplace_back(std::max(N, 0), m + 1, derivatives);
        for (Record& r : records) table.push_back(r.pointers);
    }
    const int status = update_top_props(N, K, c.wl(), c.d(), c.n_rows(), c.eta_rows(), sc(&c.eta0), sc(c.substrate),
                                        c.x, sc(base), d0, table.empty() ? nullptr : table.data(), derivatives);
    CHECK(status == (valid ? SARDUNE_OK : SARDUNE_ERR_INVALID_REQUEST));
}

template <bool Simd>
void real_index(Input& in) {
    const int N = in.count(-3, Simd ? 300 : 40), K = in.count(-3, 10);
    const bool derivatives = in.flag();
    const Layers c(in, N, K);
    Record record(std::max(N, 0), std::max(K, 0), derivatives);
    const auto entry = Simd ? update_optiprops_real_n_simd : update_optiprops_real_n;
    const int status = entry(N, K, c.wl(), c.d(), c.n_rows(), c.eta_rows(), sc(&c.eta0), sc(c.substrate), c.x,
                             record.pointers, derivatives);
    CHECK(status == (K < 0 ? SARDUNE_ERR_INVALID_REQUEST : SARDUNE_OK));
    if (status != SARDUNE_OK) CHECK(record.untouched());
}

void matrix_product(Input& in) {
    const int count = in.count(-2, 6), N = in.count(-3, 40);
    const int64_t n = std::max(N, 0);
    std::vector<std::vector<cplx>> stacks;
    for (int m = 0; m < count; ++m) stacks.push_back(complexes(in, 4 * n, -3.0, 3.0, -3.0, 3.0));
    // The result may be the first stack itself.
    const bool in_place = count > 0 && in.flag();
    std::vector<cplx> separate = outputs(4 * n);
    std::vector<const sardune_complex*> rows;
    for (const auto& s : stacks) rows.push_back(sc(s));
    sardune_complex* result = in_place ? sc(stacks[0]) : sc(separate);
    CHECK(matmul_22X(count, N, rows.empty() ? nullptr : rows.data(), result) == SARDUNE_OK);
    if (count <= 0 || N <= 0) CHECK(untouched(separate));
}

void thin_slab(Input& in) {
    using Entry = int (*)(SARDUNE_CALC_V_T_TAU_PARAMS);
    Entry entry = in.pick<Entry>({calc_v_t_tau, calc_v_t_tau_sse, calc_v_t_tau_avx});
    if (entry == calc_v_t_tau_avx && !sardune::cpu_has_avx2_fma()) entry = calc_v_t_tau_sse;
    const uint32_t N = in.unsigned_count(40), n_z = in.unsigned_count(9);
    const bool valid = N <= INT32_MAX && n_z <= INT32_MAX;
    const bool with_P = in.flag(), with_Q = in.flag();
    const bool with_dt = in.flag(), with_dr = in.flag(), with_drb = in.flag();
    // Arrays only for counts an array can have; an invalid request must not
    // read any of them (the incident admittance included).
    const int64_t n = valid ? N : 0, z = valid ? n_z : 0;
    const std::vector<cplx> P = with_P ? complexes(in, 4 * n, -2, 2, -2, 2) : std::vector<cplx>();
    const std::vector<cplx> Q = with_Q ? complexes(in, 4 * n, -2, 2, -2, 2) : std::vector<cplx>();
    const std::vector<cplx> nh = complexes(in, n, 1, 3, -0.1, 0), eh = complexes(in, n, 0.5, 3, -0.1, 0);
    const std::vector<cplx> na = complexes(in, n, 1, 3, -0.1, 0), ea = complexes(in, n, 0.5, 3, -0.1, 0);
    const std::vector<double> wl = doubles(in, n, 200, 2000), positions = doubles(in, z, -50, 300);
    const std::vector<cplx> es = complexes(in, n, 1, 3, -0.1, 0), t = complexes(in, n, -1, 1, -1, 1);
    const std::vector<cplx> tb = with_drb ? complexes(in, n, -1, 1, -1, 1) : std::vector<cplx>();
    const std::vector<cplx> r = with_dr ? complexes(in, n, -1, 1, -1, 1) : std::vector<cplx>();
    const std::vector<cplx> rb = with_drb ? complexes(in, n, -1, 1, -1, 1) : std::vector<cplx>();
    const double x = in.value(0.0, 1.2);
    const cplx eta0 = in.complex_value(0.8, 1.5, -0.01, 0.0);
    std::vector<cplx> dt = with_dt ? outputs(z * n) : std::vector<cplx>();
    std::vector<cplx> dr = with_dr ? outputs(z * n) : std::vector<cplx>();
    std::vector<cplx> drb = with_drb ? outputs(z * n) : std::vector<cplx>();
    // Null where empty, and for an output that is wanted but has no
    // element a pointer to the sentinel-filled spare below.
    std::vector<cplx> spare = outputs(1);
    auto out = [&](bool wanted, std::vector<cplx>& v) { return wanted ? (v.empty() ? sc(spare) : sc(v)) : nullptr; };
    const int status =
        entry(N, n_z, sc(P), sc(Q), sc(nh), sc(eh), x, sc(na), positions.empty() ? nullptr : positions.data(),
              sc(ea), wl.empty() ? nullptr : wl.data(), valid ? sc(&eta0) : nullptr, sc(es), sc(t), sc(tb), sc(r),
              sc(rb), out(with_dt, dt), out(with_dr, dr), out(with_drb, drb));
    CHECK(status == (valid ? SARDUNE_OK : SARDUNE_ERR_INVALID_REQUEST));
    CHECK(untouched(spare));
    if (!valid) CHECK(untouched(dt) && untouched(dr) && untouched(drb));
}

int current_threads = 1;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int threads = in.pick({1, 1, 2, 3, 4, 0, -1});
    if (threads != current_threads) {
        init(threads);
        current_threads = threads;
    }
    switch (in.pick({0, 1, 2, 3, 4, 5, 6, 7})) {
        case 0: stack_matrix(in); break;
        case 1: forward_products(in); break;
        case 2: forward_backward_sweeps(in); break;
        case 3: partial_coatings(in); break;
        case 4: real_index<false>(in); break;
        case 5: real_index<true>(in); break;
        case 6: matrix_product(in); break;
        default: thin_slab(in); break;
    }
    return 0;
}

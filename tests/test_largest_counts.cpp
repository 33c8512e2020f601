// Requests of N = INT32_MAX wavelengths: every kernel's last wavelengths, at
// element positions of several times 2^31, over sparsely mapped arrays, and
// the chunked frame's ranges for the whole count. Under the undefined-
// behaviour sanitizer an index computed in 32 bits fails these.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "core/frame.hpp"
#include "cpu/dispatch.hpp"
#include "engine_calls.hpp"
#include "real_index/real_index.hpp"
#include "sparse.hpp"
#include "thin_slab_reference.hpp"
#include "transfer/transfer.hpp"
// The thin-slab kernel's SSE2 build, instantiated here to run one range.
#include "simd/vecmath_sse2.hpp"
#include "thin_slab/kernel.hpp"

using calls::cplx;
using calls::filled;

namespace {

constexpr int N = INT32_MAX;
constexpr int64_t n = N;
constexpr int K = 2;

// A small coating laid into the last columns of arrays sized for N (by
// default two wavelengths of K layers).
struct TopColumns {
    const ref::Coating c;
    const int64_t first;  // the column of the small coating's wavelength 0
    Sparse<double> wl{size_t(n)}, d{size_t(c.K)};
    Sparse<cplx> idx{size_t(c.K * n)}, eta{size_t(c.K * n)}, substrate{size_t(n)};
    std::vector<const cplx*> idx_rows, eta_rows;

    explicit TopColumns(const ref::Coating& small = ref::random_coating(2, K, 5, 0.4)) : c(small), first(n - small.N) {
        for (int j = 0; j < c.K; ++j) {
            d.data()[j] = c.thicknesses[j];
            for (int i = 0; i < c.N; ++i) {
                idx.data()[j * n + first + i] = c.n(j, i);
                eta.data()[j * n + first + i] = c.eta(j, i);
            }
            idx_rows.push_back(idx.data() + j * n);
            eta_rows.push_back(eta.data() + j * n);
        }
        for (int i = 0; i < c.N; ++i) {
            wl.data()[first + i] = c.wavelengths[i];
            substrate.data()[first + i] = c.substrate[i];
        }
    }
    bool mapped() const { return wl.data() && d.data() && idx.data() && eta.data() && substrate.data(); }
    OneDArray<double> wavelengths() const { return {n, wl.data()}; }
    OneDArray<double> thicknesses() const { return {c.K, d.data()}; }
};

// Each build of the transfer kernels in turn (the four-lane one where the
// processor has it), with the entry points' results of that build to compare.
std::vector<bool> baseline_settings() {
    if (sardune::cpu_has_avx2_fma()) return {true, false};
    return {true};
}
struct Build {
    explicit Build(bool baseline) { sardune::testing::use_baseline_builds(baseline); }
    ~Build() { sardune::testing::use_baseline_builds(false); }
    const sardune::Builds& kernels() const { return sardune::builds(); }
};

// Entry e (of 4) at the last two wavelengths of a stack of N, against the
// same entry of a stack of two.
void expect_top_of_stack(const cplx* big, int64_t plane_offset, const std::vector<cplx>& small, int small_offset,
                         const char* what) {
    for (int e = 0; e < 4; ++e)
        for (int i = 0; i < 2; ++i)
            EXPECT_EQ(big[plane_offset + e * n + N - 2 + i], small[small_offset + e * 2 + i]) << what << " entry " << e;
}

TEST(LargestCounts, TransferKernelsReachTheLastWavelengths) {
    const TopColumns top;
    ASSERT_TRUE(top.mapped()) << "no address space for the sparse arrays";
    Sparse<cplx> M(size_t(4 * n)), P(size_t(4 * n)), L(size_t(4 * K * n)), dM(size_t(4 * K * n));
    ASSERT_TRUE(M.data() && P.data() && L.data() && dM.data());
    for (bool baseline : baseline_settings()) {
        SCOPED_TRACE(baseline ? "baseline builds" : "four-lane builds");
        const Build build(baseline);
        auto want = filled(8), want_P = filled(8), B = filled(8), want_L = filled(8 * K), want_dM = filled(8 * K);
        ASSERT_EQ(calls::forward(top.c, want, want_P), 0);
        ASSERT_EQ(calls::forward_backward(top.c, B, want_L, want_dM), 0);

        const ThreeDArray<cplx> Mv{2, 2, n, M.data()}, Pv{2, 2, n, P.data()};
        build.kernels().stack_matrices(N - 2, N, K, top.wavelengths(), top.thicknesses(), top.idx_rows.data(),
                                       top.eta_rows.data(), top.c.x, Mv);
        expect_top_of_stack(M.data(), 0, want, 0, "stack matrices");

        const TwoDArray<cplx> nv{K, n, top.idx.data()}, ev{K, n, top.eta.data()};
        build.kernels().forward_products(N - 2, N, K, top.wavelengths(), top.thicknesses(), nv, ev, top.c.x, Mv, Pv);
        expect_top_of_stack(M.data(), 0, want, 0, "forward products");
        expect_top_of_stack(P.data(), 0, want_P, 0, "forward partial product");

        const FourDArray<cplx> Lv{K, 2, 2, n, L.data()}, Dv{K, 2, 2, n, dM.data()};
        build.kernels().forward_backward(N - 2, N, K, top.wavelengths(), top.thicknesses(), nv, ev, top.c.x, Mv, Lv,
                                         Dv);
        expect_top_of_stack(M.data(), 0, B, 0, "forward-backward");
        for (int j = 0; j < K; ++j) {
            expect_top_of_stack(L.data(), 4 * j * n, want_L, 8 * j, "layer matrix");
            expect_top_of_stack(dM.data(), 4 * j * n, want_dM, 8 * j, "derivative");
        }
    }
}

TEST(LargestCounts, PartialCoatingsReachTheLastWavelengths) {
    const TopColumns top;
    ASSERT_TRUE(top.mapped()) << "no address space for the sparse arrays";
    // Record m has m + 1 derivative blocks of N.
    std::vector<Sparse<cplx>> slots;
    slots.reserve(7 * K);
    std::vector<std::vector<cplx*>> records(K);
    for (int m = 0; m < K; ++m)
        for (int s = 0; s < 7; ++s) {
            slots.emplace_back(size_t(s < 4 ? n : (m + 1) * n));
            ASSERT_NE(slots.back().data(), nullptr);
            records[m].push_back(slots.back().data());
        }
    std::vector<cplx* const*> table = {records[0].data(), records[1].data()};
    const OneDArray<cplx> substrate{n, top.substrate.data()};
    const ThreeDArray<cplx> no_base{2, 2, n, nullptr};
    for (bool baseline : baseline_settings()) {
        SCOPED_TRACE(baseline ? "baseline builds" : "four-lane builds");
        const Build build(baseline);
        calls::Records want(2, K);
        ASSERT_EQ(calls::update_top_props(top.c, 0, {}, want, true), 0);
        build.kernels().partial_coatings(N - 2, N, N, K, top.wavelengths(), top.thicknesses(), top.idx_rows.data(),
                                         top.eta_rows.data(), top.c.eta0, substrate, top.c.x, no_base, 0,
                                         table.data(), true);
        for (int m = 0; m < K; ++m)
            for (int s = 0; s < 7; ++s)
                for (int k = 0; k < (s < 4 ? 1 : m + 1); ++k)
                    for (int i = 0; i < 2; ++i)
                        EXPECT_EQ(records[m][s][k * n + N - 2 + i], want.value(m, s, i, k))
                            << "record " << m << " slot " << s << " block " << k;
    }
}

TEST(LargestCounts, MatrixProductReachesTheLastWavelengths) {
    // The three layer matrices of a coating as the stacks to multiply.
    const ref::Coating c = ref::random_coating(2, 3, 8);
    auto B = filled(8), layers = filled(24), D = filled(24);
    ASSERT_EQ(calls::forward_backward(c, B, layers, D), 0);
    std::vector<Sparse<cplx>> big;
    big.reserve(3);
    std::vector<const cplx*> small_rows, big_rows;
    for (int m = 0; m < 3; ++m) {
        big.emplace_back(size_t(4 * n));
        ASSERT_NE(big.back().data(), nullptr);
        for (int e = 0; e < 4; ++e)
            for (int i = 0; i < 2; ++i) big.back().data()[e * n + N - 2 + i] = layers[8 * m + e * 2 + i];
        small_rows.push_back(layers.data() + 8 * m);
        big_rows.push_back(big.back().data());
    }
    auto want = filled(8);
    ASSERT_EQ(matmul_22X(3, 2, calls::sc(small_rows.data()), calls::sc(want.data())), 0);
    Sparse<cplx> result(size_t(4 * n));
    ASSERT_NE(result.data(), nullptr);
    sardune::transfer::multiply_stacks(N - 2, N, 3, N, big_rows.data(), result.data());
    expect_top_of_stack(result.data(), 0, want, 0, "product");
}

// The last 13 wavelengths of a thin-slab request of INT32_MAX: blocks and
// the overlapping last one at element positions of up to 6 * 2^31 (the
// matrix planes) and 2 * 2^31 (the outputs of the third position).
TEST(LargestCounts, ThinSlabReachesTheLastWavelengths) {
    using slab::C;
    const uint32_t few = 13, nz = 3;
    const slab::Case c = slab::make_case(few, nz, 9);
    std::vector<C> want[3];
    for (auto& w : want) w.assign(nz * few, C(0.0));
    auto sc = [](const std::vector<C>& v) { return reinterpret_cast<const sardune_complex*>(v.data()); };
    auto out = [](std::vector<C>& v) { return reinterpret_cast<sardune_complex*>(v.data()); };
    ASSERT_EQ(calc_v_t_tau_sse(few, nz, sc(c.P), sc(c.Q), sc(c.nh), sc(c.eh), c.x, sc(c.na), c.z.data(), sc(c.ea),
                               c.wl.data(), reinterpret_cast<const sardune_complex*>(&c.e0), sc(c.es), sc(c.t),
                               sc(c.tb), sc(c.r), sc(c.rb), out(want[0]), out(want[1]), out(want[2])),
              SARDUNE_OK);

    // Every per-wavelength array of the large request, its last columns
    // holding the small one.
    const int64_t first = n - few;
    auto top = [&](const std::vector<C>& v, int planes) {
        Sparse<C> a(size_t(planes * n));
        if (a.data())
            for (int p = 0; p < planes; ++p)
                for (uint32_t j = 0; j < few; ++j) a.data()[p * n + first + j] = v[p * few + j];
        return a;
    };
    const Sparse<C> P = top(c.P, 4), Q = top(c.Q, 4), nh = top(c.nh, 1), eh = top(c.eh, 1), na = top(c.na, 1),
                    ea = top(c.ea, 1), es = top(c.es, 1), t = top(c.t, 1), tb = top(c.tb, 1), r = top(c.r, 1),
                    rb = top(c.rb, 1);
    Sparse<double> wl{size_t(n)};
    Sparse<C> dt{size_t(nz * n)}, dr{size_t(nz * n)}, drb{size_t(nz * n)};
    for (const Sparse<C>* a : std::initializer_list<const Sparse<C>*>{&P, &Q, &nh, &eh, &na, &ea, &es, &t, &tb, &r,
                                                                      &rb, &dt, &dr, &drb})
        ASSERT_NE(a->data(), nullptr) << "no address space for the sparse arrays";
    ASSERT_NE(wl.data(), nullptr);
    for (uint32_t j = 0; j < few; ++j) wl.data()[first + j] = c.wl[j];

    auto p = [](const Sparse<C>& a) { return reinterpret_cast<const sardune_complex*>(a.data()); };
    auto o = [](Sparse<C>& a) { return reinterpret_cast<sardune_complex*>(a.data()); };
    const SlabArgs args = slab_args(uint32_t(N), nz, p(P), p(Q), p(nh), p(eh), c.x, p(na), c.z.data(), p(ea),
                                    wl.data(), reinterpret_cast<const sardune_complex*>(&c.e0), p(es), p(t), p(tb),
                                    p(r), p(rb), o(dt), o(dr), o(drb));
    thin_slab_range<Sse2>(args, size_t(first), size_t(n));
    const Sparse<C>* got[3] = {&dt, &dr, &drb};
    for (int k = 0; k < 3; ++k)
        for (uint32_t i = 0; i < nz; ++i)
            for (uint32_t j = 0; j < few; ++j)
                EXPECT_EQ(got[k]->data()[i * n + first + j], want[k][i * few + j])
                    << "output " << k << " position " << i << " wavelength " << j;
}

// A real-index record for N: slots 0 to 3 of N, slots 4 to 6 of K blocks.
struct TopRecord {
    std::vector<Sparse<cplx>> slots;
    std::vector<cplx*> pointers;
    explicit TopRecord(int K_) {
        slots.reserve(7);
        for (int s = 0; s < 7; ++s) {
            slots.emplace_back(size_t(s < 4 ? n : K_ * n));
            pointers.push_back(slots.back().data());
        }
    }
    bool mapped() const {
        return std::all_of(pointers.begin(), pointers.end(), [](const cplx* p) { return p != nullptr; });
    }
};

sardune::real_index::Request real_index_request(const TopColumns& top, TopRecord& rec, bool derivatives) {
    return {N, top.c.K, top.wl.data(), top.d.data(), top.idx_rows.data(), top.eta_rows.data(), top.c.eta0,
            top.substrate.data(), top.c.x, rec.pointers.data(), derivatives};
}

// Slot s of the record at the small coating's wavelength i, block k, against
// the same value of a request of the small coating alone.
void expect_top_of_record(const TopColumns& top, const TopRecord& rec, const calls::Record& want, int slots,
                          const char* what) {
    for (int s = 0; s < slots; ++s)
        for (int k = 0; k < (s < 4 ? 1 : top.c.K); ++k)
            for (int i = 0; i < top.c.N; ++i)
                EXPECT_EQ(rec.pointers[s][k * n + top.first + i], want.value(s, i, k))
                    << what << " slot " << s << " block " << k << " wavelength " << i;
}

// Three layers, so that blocks 1 and 2 of the derivative slots (k N + i past
// 2^31) are reached inside the downward sweep as well as at its top.
TEST(LargestCounts, RealIndexScalarReachesTheLastWavelengths) {
    const TopColumns top(ref::lossless_coating(5, 3, 51u));
    TopRecord rec(top.c.K);
    ASSERT_TRUE(top.mapped() && rec.mapped()) << "no address space for the sparse arrays";
    for (bool derivatives : {false, true}) {
        calls::Record want(top.c.N, top.c.K);
        ASSERT_EQ(calls::real_index_scalar(top.c, want, derivatives), SARDUNE_OK);
        sardune::real_index::scalar_range(real_index_request(top, rec, derivatives), N - top.c.N, N);
        expect_top_of_record(top, rec, want, derivatives ? 7 : 4, "scalar");
    }
}

// The four-lane kernel's blocks; a range of three columns below N is
// computed in the block ending at N and written only there.
TEST(LargestCounts, RealIndexFourLaneReachesTheLastWavelengths) {
    if (!sardune::cpu_has_avx2_fma()) GTEST_SKIP() << "this processor lacks AVX2 and FMA3; the kernel cannot run";
    const TopColumns top(ref::lossless_coating(6, 3, 52u));
    TopRecord rec(top.c.K);
    ASSERT_TRUE(top.mapped() && rec.mapped()) << "no address space for the sparse arrays";
    const sardune::real_index::Request q = real_index_request(top, rec, true);
    calls::Record want(top.c.N, top.c.K);
    sardune::real_index::four_lane({top.c.N, top.c.K, top.c.wavelengths.data(), top.c.thicknesses.data(),
                                    top.c.index_rows.data(), top.c.admittance_rows.data(), top.c.eta0,
                                    top.c.substrate.data(), top.c.x, want.raw(), true},
                                   0, top.c.N);
    sardune::real_index::four_lane_within(q, N - 3, N);
    for (int s = 0; s < 7; ++s)
        for (int k = 0; k < (s < 4 ? 1 : top.c.K); ++k)
            for (int i = 0; i < 3; ++i) EXPECT_EQ(rec.pointers[s][k * n + top.first + i], cplx()) << s << " " << i;
    sardune::real_index::four_lane(q, N - top.c.N, N);
    expect_top_of_record(top, rec, want, 7, "four-lane");
}

// The frame's ranges for the whole count: [0, N) once, in chunks of the
// partition, whatever the thread count.
TEST(LargestCounts, ChunkedFrameCoversTheWholeCount) {
    for (int threads : {1, 3, 8}) {
        calls::PoolGuard pooled(threads);
        std::mutex m;
        std::vector<std::pair<int64_t, int64_t>> ranges;
        ASSERT_EQ(sardune::run_chunked(N, [&](int start, int end) {
                      const std::lock_guard<std::mutex> lock(m);
                      ranges.emplace_back(start, end);
                  }),
                  SARDUNE_OK);
        std::sort(ranges.begin(), ranges.end());
        ASSERT_EQ(ranges.size(), size_t(threads)) << threads;
        int64_t covered = 0;
        for (auto [start, end] : ranges) {
            EXPECT_EQ(start, covered) << threads;
            EXPECT_LT(start, end);
            covered = end;
        }
        EXPECT_EQ(covered, n) << threads;
    }
}

}  // namespace

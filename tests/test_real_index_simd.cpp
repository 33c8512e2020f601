// The vector real-index path: the four-lane kernel, the selector and the
// pooled entry point against the scalar path.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <numeric>
#include <thread>

#include "alloc_fault.hpp"
#include "cpu/dispatch.hpp"
#include "cpu_flags.hpp"
#include "interface/exports.hpp"
#include "real_index/real_index.hpp"
#include "real_index/sharing.hpp"
#include "engine_calls.hpp"
#include "core/thread_pool.hpp"
#include "real_index_quadratic.hpp"

namespace {

using calls::cplx;
using calls::Record;
using calls::max_abs;
using calls::worst_difference;
using calls::sentinel;
using ref::Coating;

void run_kernel(const Coating& c, Record& rec, int start, int end, bool derivatives) {
    update_optiprops_real_n_simd_avx(start, end, c.N, c.K, c.wavelengths.data(), c.thicknesses.data(),
                                     c.index_rows.data(), c.admittance_rows.data(), c.eta0, c.substrate.data(),
                                     c.x, rec.raw(), derivatives);
}

constexpr double tolerance = 2e-14;

class RealIndexVector : public ::testing::Test {
protected:
    void TearDown() override { init(1); }
};

// Tests that call the four-lane kernel itself.
class FourLaneKernel : public RealIndexVector {
protected:
    void SetUp() override {
        if (!sardune::cpu_has_avx2_fma()) GTEST_SKIP() << "this processor lacks AVX2 and FMA3; the kernel cannot run";
    }
};

// The baseline builds selected for the life of one test.
struct BaselineBuilds {
    BaselineBuilds() { sardune::testing::use_baseline_builds(true); }
    ~BaselineBuilds() { sardune::testing::use_baseline_builds(false); }
};

TEST_F(RealIndexVector, ThisMachineSelectsTheFourLaneKernelWithAvx2AndFma) {
    EXPECT_EQ(sardune::builds().real_index == sardune::real_index::four_lane_or_scalar, cpu_flags::avx2_fma());
}

// On the fallback path every request size gives the scalar path's results
// exactly, whatever the pool.
TEST_F(RealIndexVector, FallbackPathEqualsTheScalarPath) {
    BaselineBuilds baseline;
    for (int threads : {1, 3, 32})
        for (int N : {1, 2, 3, 4, 5, 7, 8, 9, 31, 128, 129, 300, 517, 3969})
            for (bool derivatives : {false, true}) {
                init(threads);
                const Coating c = ref::lossless_coating(N, 5, 300u + N);
                Record want(N, c.K), got(N, c.K);
                ASSERT_EQ(calls::real_index_scalar(c, want, derivatives), SARDUNE_OK);
                ASSERT_EQ(calls::real_index_simd(c, got, derivatives), SARDUNE_OK);
                EXPECT_TRUE(calls::bitwise_equal(got, want)) << N << " " << threads << " " << derivatives;
            }
}

// The ranges the entry point really hands out, for every pool size up to 40
// threads and for 66, and requests up to the largest count: they cover the
// request exactly once, the pool's chunks start at multiples of four and are
// all of one length but for a clipped last one, and the caller takes the
// rest. Up to 128 wavelengths nothing is shared. Cases with a caller's part
// of 1 to 4 wavelengths and with a chunk clipped below a block are reached.
TEST_F(RealIndexVector, RangesHandedToTheKernelTileTheRequest) {
    struct Range {
        int start, end;
        bool on_caller;
    };
    int short_caller_parts = 0, short_chunks = 0;
    std::vector<int> pools(40);
    std::iota(pools.begin(), pools.end(), 1);
    pools.push_back(66);
    for (int threads : pools) {
        ASSERT_EQ(init(threads), threads);
        for (int N : {4, 100, 128, 129, 300, 1000, 3969, 3970, 3972, 4353, 8449, 8451, 9000, INT_MAX - 1, INT_MAX}) {
            std::mutex m;
            std::vector<Range> seen;
            const auto caller = std::this_thread::get_id();
            const auto kernel = [&](int start, int end) {
                std::lock_guard<std::mutex> lock(m);
                seen.push_back({start, end, std::this_thread::get_id() == caller});
            };
            ASSERT_EQ(sardune::real_index::run_partitioned(N, kernel), SARDUNE_OK);
            std::sort(seen.begin(), seen.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
            const sardune::real_index::Partition p = sardune::real_index::partition(N, threads);
            int next = 0;
            for (const Range& r : seen) {
                ASSERT_EQ(r.start, next) << N << " " << threads;
                ASSERT_LT(r.start, r.end);
                if (N <= 128 || threads == 1) {
                    ASSERT_TRUE(r.on_caller && r.start == 0 && r.end == N) << "unshared " << N;
                } else if (r.on_caller) {
                    ASSERT_EQ(r.start, p.caller_start) << N << " " << threads;
                    ASSERT_EQ(r.end, N);
                    short_caller_parts += r.end - r.start <= 4;
                } else {
                    ASSERT_EQ(r.start % 4, 0) << N << " " << threads;
                    ASSERT_TRUE(r.end - r.start == p.length || r.end == N) << N << " " << threads;
                    short_chunks += r.end - r.start < 4;
                }
                next = r.end;
            }
            ASSERT_EQ(next, N) << N << " " << threads;
        }
    }
    EXPECT_GT(short_caller_parts, 0) << "no case reached a caller's part of 1 to 4 wavelengths";
    EXPECT_GT(short_chunks, 0) << "no case clipped a chunk below a block";
}

// Every N up to 300 covers each block tail, size class and partition shape.
TEST_F(RealIndexVector, EveryRequestSizeAgreesWithScalar) {
    double worst = 0.0;
    for (int threads : {1, 2, 3, 8}) {
        init(threads);
        for (int N = 1; N <= 300; ++N)
            for (bool derivatives : {false, true}) {
                Coating c = ref::lossless_coating(N, 6, 100u + N);
                Record want(N, c.K), got(N, c.K, 4);
                ASSERT_EQ(calls::real_index_scalar(c, want, derivatives), SARDUNE_OK);
                ASSERT_EQ(calls::real_index_simd(c, got, derivatives), SARDUNE_OK);
                for (int s = 0; s < 7; ++s)
                    for (int e = 0; e < 4; ++e)
                        ASSERT_EQ(got.slots[s][got.slots[s].size() - 1 - e], sentinel()) << N;
                if (!derivatives) {
                    for (int s = 4; s < 7; ++s) ASSERT_TRUE(got.untouched(s));
                }
                for (auto& slot : got.slots) slot.resize(slot.size() - 4);
                const double d = worst_difference(got, want, derivatives ? 7 : 4);
                worst = std::max(worst, d);
                ASSERT_LT(d, tolerance) << "N=" << N << " threads=" << threads << " deriv=" << derivatives;
            }
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", worst);
    RecordProperty("worst_relative_difference", text);
}

// Every column is bitwise the same for any pool size, with and without
// derivatives, for thread counts 1 to 8 and for the shapes of many threads:
// a caller's part of 1, 2 or 4 wavelengths (32 threads) and chunks clipped
// below a block (66).
TEST_F(RealIndexVector, EveryColumnIsTheSameForAnyPoolSize) {
    struct Case {
        int N;
        std::vector<int> pools;
    };
    const std::vector<int> few{2, 3, 4, 5, 6, 7, 8};
    for (const Case& k : {Case{129, few}, Case{300, few}, Case{515, few}, Case{1029, few}, Case{3969, {32, 33}},
                          Case{3970, {32}}, Case{3972, {32}}, Case{8449, {66}}, Case{8451, {66}}})
        for (bool derivatives : {false, true}) {
            const Coating c = ref::lossless_coating(k.N, 5, 7u * k.N);
            Record alone(k.N, c.K);
            init(1);
            ASSERT_EQ(calls::real_index_simd(c, alone, derivatives), SARDUNE_OK);
            for (int threads : k.pools) {
                ASSERT_EQ(init(threads), threads);
                Record shared(k.N, c.K);
                ASSERT_EQ(calls::real_index_simd(c, shared, derivatives), SARDUNE_OK);
                EXPECT_TRUE(calls::bitwise_equal(shared, alone)) << k.N << " " << threads << " " << derivatives;
            }
        }
}

// The four-lane derivatives through the entry point against the former
// quadratic-cost scalar algorithm, for K from 0 to 300 and N from 1 to 40:
// the rounding of the vector sine, cosine and fused operations on top of
// the linear sweep's. Up to 8 layers as close as the coefficients of the two
// paths are; thick reflectors magnify the rounding of both paths alike (the
// coefficients alone differ by up to 2e-12 at 300 layers).
TEST_F(RealIndexVector, DerivativesAgreeWithTheQuadraticAlgorithm) {
    double worst[2] = {0.0, 0.0};
    auto check = [&worst](int N, int K, bool thick) {
        const Coating c = ref::lossless_coating(N, K, 1000u + 41u * K + N);
        Record got(N, K), want(N, K);
        ASSERT_EQ(calls::real_index_simd(c, got, true), SARDUNE_OK);
        if (K == 0) return;  // the former algorithm wrote nothing for K = 0
        ref::real_index_quadratic(c, want.raw(), true);
        const double d = worst_difference(got, want, 7);
        worst[thick] = std::max(worst[thick], d);
        ASSERT_LT(d, thick ? 5e-12 : tolerance) << "N=" << N << " K=" << K;
    };
    for (int K : {0, 1, 2, 3, 4, 5, 8})
        for (int N = 1; N <= 40; ++N) check(N, K, false);
    for (int K : {16, 17, 33, 40, 64, 150, 300})
        for (int N : {1, 4, 5, 7, 11, 13, 27, 40}) check(N, K, true);
    char text[64];
    std::snprintf(text, sizeof text, "%.3g up to 8 layers, %.3g beyond", worst[0], worst[1]);
    RecordProperty("worst_relative_difference", text);
}

TEST_F(RealIndexVector, PartitionValues) {
    struct Case {
        int N;
        int64_t T;
        sardune::real_index::Partition want;
    };
    for (const Case& k : {Case{129, 8, {2, 68, 68}}, Case{1000, 8, {8, 128, 896}}, Case{300, 8, {3, 100, 200}},
                          Case{1000, 1, {1, 1000, 0}}, Case{4353, 34, {34, 132, 4353}},
                          Case{3969, 32, {32, 128, 3968}}}) {
        const sardune::real_index::Partition p = sardune::real_index::partition(k.N, k.T);
        EXPECT_EQ(p.chunks, k.want.chunks) << k.N << " " << k.T;
        EXPECT_EQ(p.length, k.want.length);
        EXPECT_EQ(p.caller_start, k.want.caller_start);
    }
}

// Many threads: ranges past N (40 threads), a caller's part of one wavelength
// (32), and a clipped chunk shorter than a block (66).
TEST_F(RealIndexVector, ManyThreadsStayInsideTheRequest) {
    struct Case {
        int threads, N;
    };
    for (const Case& k : {Case{40, 4353}, Case{32, 3969}, Case{66, 8449}, Case{66, 8451}}) {
        ASSERT_EQ(init(k.threads), k.threads);
        for (bool derivatives : {false, true}) {
            Coating c = ref::lossless_coating(k.N, 3, k.N);
            Record want(k.N, c.K), got(k.N, c.K, 8);
            ASSERT_EQ(calls::real_index_scalar(c, want, derivatives), SARDUNE_OK);
            ASSERT_EQ(calls::real_index_simd(c, got, derivatives), SARDUNE_OK);
            for (auto& slot : got.slots) {
                for (size_t e = slot.size() - 8; e < slot.size(); ++e) ASSERT_EQ(slot[e], sentinel());
                slot.resize(slot.size() - 8);
            }
            for (int s = 0; s < (derivatives ? 7 : 4); ++s) ASSERT_FALSE(got.untouched(s));
            EXPECT_LT(worst_difference(got, want, derivatives ? 7 : 4), tolerance) << k.threads;
        }
    }
}

TEST_F(FourLaneKernel, KernelRangesAndBlockTails) {
    Coating c = ref::lossless_coating(9, 4, 21u);
    Record whole(c.N, c.K);
    run_kernel(c, whole, 0, 9, true);
    Record part(c.N, c.K);
    run_kernel(c, part, 5, 7, true);  // one block moved back: columns 3 to 6
    for (int s = 0; s < 7; ++s)
        for (int k = 0; k < (s < 4 ? 1 : c.K); ++k)
            for (int i = 0; i < c.N; ++i)
                EXPECT_EQ(part.at(s, i, k), (i >= 3 && i < 7) ? whole.at(s, i, k) : sentinel()) << s << i;
    // Lanes are independent of block position: [1, 8) equals [0, 9) there.
    Record tail(c.N, c.K);
    run_kernel(c, tail, 1, 8, true);
    for (int s = 0; s < 4; ++s)
        for (int i = 1; i < 8; ++i) EXPECT_EQ(tail.at(s, i), whole.at(s, i));
}

// A coating of no layers is the bare boundary on every path: the kernel,
// the selector and the entry point for every size class and pool, reading
// no layer data (the layer pointers are null); there is no derivative.
TEST_F(RealIndexVector, NoLayersIsTheBareBoundaryOnEveryPath) {
    auto expect_boundary = [](const Coating& c, const Record& rec, int from, int to) {
        for (int i = 0; i < c.N; ++i) {
            if (i < from || i >= to) {
                for (int s = 0; s < 4; ++s) ASSERT_EQ(rec.value(s, i), sentinel());
                continue;
            }
            const cplx e0 = c.eta0, es = c.substrate[i], sum = e0 + es;
            ASSERT_NEAR(std::abs(rec.value(0, i) - 2.0 * e0 / sum), 0.0, 1e-15) << c.N << " " << i;
            ASSERT_NEAR(std::abs(rec.value(1, i) - 2.0 * es / sum), 0.0, 1e-15);
            ASSERT_NEAR(std::abs(rec.value(2, i) - (e0 - es) / sum), 0.0, 1e-15);
            ASSERT_NEAR(std::abs(rec.value(3, i) - (es - e0) / sum), 0.0, 1e-15);
        }
        for (int s = 4; s < 7; ++s) ASSERT_TRUE(rec.untouched(s));
    };
    for (int threads : {1, 3, 32})
        for (int N : {1, 2, 3, 4, 5, 9, 129, 3969}) {
            ASSERT_EQ(init(threads), threads);
            const Coating c = ref::lossless_coating(N, 0, 22u + N);
            Record rec(N, 1);
            ASSERT_EQ(::update_optiprops_real_n_simd(N, 0, c.wavelengths.data(), nullptr, nullptr, nullptr,
                                                     calls::sc(&c.eta0), calls::sc(c.substrate.data()), c.x, rec.c(),
                                                     true),
                      SARDUNE_OK);
            expect_boundary(c, rec, 0, N);
        }
    const Coating c = ref::lossless_coating(9, 0, 21u);
    Record selector(c.N, 1);
    update_optiprops_real_n_simd_(5, 7, c.N, 0, c.wavelengths.data(), nullptr, nullptr, nullptr, c.eta0,
                                  c.substrate.data(), c.x, selector.raw(), true);
    expect_boundary(c, selector, 5, 7);
    if (sardune::cpu_has_avx2_fma()) {
        Record kernel(c.N, 1);
        run_kernel(c, kernel, 0, 9, true);
        expect_boundary(c, kernel, 0, 9);
    }
}

// A phase thickness beyond 1e15 counts as zero: the layer drops out.
// Deep in the stop band of a thick reflector the stack matrix reaches 1e160
// and beyond, and |D|^2 would overflow: the quotients stay finite and agree
// with the scalar path's (which divides with scaling).
TEST_F(FourLaneKernel, ThickReflectorDeepInItsStopBandStaysFinite) {
    Coating c = ref::lossless_coating(12, 1500, 77u, 0.0);
    for (int i = 0; i < c.N; ++i) c.wavelengths[i] = 540.0 + 2.0 * i;
    for (int j = 0; j < c.K; ++j) c.thicknesses[j] = 550.0 / (4.0 * c.n(j, 0).real());
    Record want(c.N, c.K), got(c.N, c.K);
    ASSERT_EQ(calls::real_index_scalar(c, want, false), SARDUNE_OK);
    ASSERT_EQ(calls::real_index_simd(c, got, false), SARDUNE_OK);
    for (int i = 0; i < c.N; ++i) {
        ASSERT_NEAR(std::abs(want.at(2, i)), 1.0, 1e-12) << "not deep in the stop band at " << i;
        for (int s = 0; s < 4; ++s) {
            EXPECT_TRUE(std::isfinite(got.at(s, i).real()) && std::isfinite(got.at(s, i).imag())) << s << " " << i;
            EXPECT_LT(std::abs(got.at(s, i) - want.at(s, i)), 1e-12 * std::max(1.0, std::abs(want.at(s, i)))) << s;
        }
    }
}

// Derivative records beyond the caches go out by non-temporal stores; they
// hold the bits the ordinary stores give, for records aligned for them and
// for records that are not.
TEST_F(FourLaneKernel, LargeDerivativeRecordsHoldTheSameBits) {
    const Coating c = ref::lossless_coating(1200, 48, 91u);  // 48 * 1200 * 48 bytes > 2 MiB
    // The columns in ranges small enough for ordinary stores.
    Record pieces(c.N, c.K);
    for (int start = 0; start < c.N; start += 40) run_kernel(c, pieces, start, start + 40, true);
    // The whole request, into slots on and off the 32-byte boundary.
    for (bool aligned : {true, false}) {
        Record whole(c.N, c.K, 2);
        std::array<cplx*, 7> at;
        for (int s = 0; s < 7; ++s) {
            cplx* p = whole.slots[s].data();
            at[s] = p + ((reinterpret_cast<uintptr_t>(p) % 32 == 0) != aligned);
        }
        update_optiprops_real_n_simd_avx(0, c.N, c.N, c.K, c.wavelengths.data(), c.thicknesses.data(),
                                         c.index_rows.data(), c.admittance_rows.data(), c.eta0, c.substrate.data(), c.x,
                                         at.data(), true);
        for (int s = 0; s < 7; ++s)
            EXPECT_EQ(0, std::memcmp(at[s], pieces.slots[s].data(), pieces.slots[s].size() * sizeof(cplx)))
                << "slot " << s << (aligned ? " aligned" : " off the boundary");
    }
}

TEST_F(FourLaneKernel, HugePhaseThicknessActsAsNoLayer) {
    Coating c = ref::lossless_coating(8, 3, 24u);
    c.thicknesses[1] = 1e18;
    Record got(c.N, c.K);
    run_kernel(c, got, 0, 8, false);
    const Coating without = c.without_layer(1);
    Record want(c.N, 2);
    run_kernel(without, want, 0, 8, false);
    for (int s = 0; s < 4; ++s) EXPECT_EQ(got.slots[s], want.slots[s]);
}

// An infinite phase thickness (a zero wavelength, an infinite thickness) is
// no huge finite one: it gives NaN in its lane, as on the scalar path.
TEST_F(FourLaneKernel, InfinitePhaseThicknessGivesNaNInThatLaneOnly) {
    Coating c = ref::lossless_coating(8, 3, 26u);
    c.wavelengths[2] = 0.0;
    Coating thick = c;
    thick.wavelengths[2] = c.wavelengths[3];
    thick.thicknesses[1] = std::numeric_limits<double>::infinity();
    for (const Coating* k : {&c, &thick}) {
        Record rec(k->N, k->K), scalar(k->N, k->K);
        run_kernel(*k, rec, 0, 8, true);
        ASSERT_EQ(calls::real_index_scalar(*k, scalar, true), SARDUNE_OK);
        for (int s = 0; s < 7; ++s)
            for (int layer = 0; layer < (s < 4 ? 1 : k->K); ++layer)
                for (int i = 0; i < k->N; ++i) {
                    const cplx v = rec.at(s, i, layer), w = scalar.at(s, i, layer);
                    const bool nan = std::isnan(v.real()) || std::isnan(v.imag());
                    EXPECT_EQ(nan, k == &thick || i == 2) << s << " " << layer << " " << i;
                    EXPECT_EQ(nan, std::isnan(w.real()) || std::isnan(w.imag())) << "scalar " << s << " " << i;
                }
    }
}

TEST_F(FourLaneKernel, EvanescentLaneGivesNaNInThatLaneOnly) {
    Coating c = ref::lossless_coating(8, 3, 25u);
    c.n(2, 5) = cplx(0.1, 0.0);
    Record rec(c.N, c.K);
    run_kernel(c, rec, 0, 8, true);
    for (int s = 0; s < 7; ++s)
        for (int k = 0; k < (s < 4 ? 1 : c.K); ++k)
            for (int i = 0; i < c.N; ++i) {
                const cplx v = rec.at(s, i, k);
                EXPECT_EQ(i == 5, std::isnan(v.real()) || std::isnan(v.imag())) << s << " " << k << " " << i;
            }
}

// n == x == 0.4: n*n less x*x is 0, but fused it is -1.3e-17 (x*x rounded
// up). Both paths must see kappa = 0 in that lane: the layer is the
// identity and its derivatives vanish; the other lanes keep the layer.
TEST_F(FourLaneKernel, IndexEqualToAngleInvariantIsTransparentInItsLane) {
    Coating c = ref::lossless_coating(8, 3, 27u, 0.4);
    c.n(1, 5) = cplx(0.4, 0.0);
    const Coating without = c.without_layer(1);
    Record lanes(c.N, c.K), scalar(c.N, c.K), want(c.N, without.K);
    run_kernel(c, lanes, 0, 8, true);
    ASSERT_EQ(calls::real_index_scalar(c, scalar, true), SARDUNE_OK);
    run_kernel(without, want, 0, 8, false);
    for (Record* r : {&lanes, &scalar}) {
        const char* path = r == &lanes ? "four-lane" : "scalar";
        for (int s = 0; s < 4; ++s) {
            EXPECT_LT(std::abs(r->at(s, 5) - want.at(s, 5)), tolerance) << path << " slot " << s;
            EXPECT_GT(std::abs(r->at(s, 4) - want.at(s, 4)), 1e-6) << path << " slot " << s << ": a lane without n == x";
        }
        for (int s = 4; s < 7; ++s) EXPECT_EQ(std::abs(r->at(s, 5, 1)), 0.0) << path << " slot " << s;
    }
    EXPECT_LT(worst_difference(lanes, scalar), tolerance);
}

TEST_F(RealIndexVector, ShortRequestsTakeTheScalarPathExactly) {
    for (int N : {1, 2, 3}) {
        Coating c = ref::lossless_coating(N, 5, 30u + N);
        Record want(N, c.K), got(N, c.K);
        ASSERT_EQ(calls::real_index_scalar(c, want, true), SARDUNE_OK);
        ASSERT_EQ(calls::real_index_simd(c, got, true), SARDUNE_OK);
        for (int s = 0; s < 7; ++s) EXPECT_EQ(got.slots[s], want.slots[s]);
    }
    // A selector range that ends below 4 cannot hold a block: scalar columns.
    Coating c = ref::lossless_coating(6, 4, 35u);
    Record want(c.N, c.K), got(c.N, c.K);
    ASSERT_EQ(calls::real_index_scalar(c, want, true), SARDUNE_OK);
    update_optiprops_real_n_simd_(1, 3, c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), c.index_rows.data(),
                                  c.admittance_rows.data(), c.eta0, c.substrate.data(), c.x, got.raw(), true);
    for (int s = 0; s < 4; ++s)
        for (int i = 0; i < c.N; ++i) EXPECT_EQ(got.at(s, i), (i == 1 || i == 2) ? want.at(s, i) : sentinel());
}

// Nothing may be read: every pointer is null.
TEST_F(RealIndexVector, NegativeLayerCountIsRejectedOnEveryPath) {
    init(3);
    for (int N : {2, 60, 500})
        EXPECT_EQ(update_optiprops_real_n_simd(N, -1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0.0,
                                               nullptr, true),
                  SARDUNE_ERR_INVALID_REQUEST);
    update_optiprops_real_n_simd_(0, 8, 8, -2, nullptr, nullptr, nullptr, nullptr, cplx(1.0), nullptr, 0.0,
                                  nullptr, true);
    if (sardune::cpu_has_avx2_fma())
        update_optiprops_real_n_simd_avx(0, 8, 8, -2, nullptr, nullptr, nullptr, nullptr, cplx(1.0), nullptr, 0.0,
                                         nullptr, true);
}

// Whichever allocation fails (a task, its queue entry, a scratch), the
// request reports it, and only then.
TEST_F(RealIndexVector, FailedAllocationsAreOutOfMemory) {
    for (int threads : {1, 2, 4})
        for (int N : {3, 100, 600}) {
            init(threads);
            Coating c = ref::lossless_coating(N, 4, 40u);
            for (long successes = 0; successes < 8; ++successes) {
                Record rec(N, c.K);
                int code;
                long failed;
                {
                    alloc_fault::Scope guard(successes);
                    code = calls::real_index_simd(c, rec, true);
                    failed = alloc_fault::failures();
                }
                EXPECT_EQ(code, failed > 0 ? SARDUNE_ERR_OUT_OF_MEMORY : SARDUNE_OK)
                    << threads << " " << N << " " << successes;
            }
            Record rec(N, c.K);
            {
                alloc_fault::Scope guard(0);
                EXPECT_EQ(calls::real_index_simd(c, rec, false), SARDUNE_ERR_OUT_OF_MEMORY);
            }
        }
}

}  // namespace

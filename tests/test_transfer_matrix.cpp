// Stack matrices, forward products and thickness derivatives against the
// long-double reference, plus the identities the kernels must keep exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <algorithm>
#include <mutex>
#include <thread>

#include "engine_calls.hpp"
#include "core/frame.hpp"
#include "cpu/dispatch.hpp"
#include "interface/exports.hpp"
#include "optics/optics.hpp"
#include "reference.hpp"
#include "sparse.hpp"
#include "core/thread_pool.hpp"

using calls::cplx;
using sardune::run_chunked;
using calls::PoolGuard;
using calls::filled;
using calls::mat;

namespace {

TEST(StackMatrix, AgreesWithReferenceOnAbsorbingObliqueStacks) {
    PoolGuard threads(3);
    for (int K : {1, 2, 7, 30}) {
        const ref::Coating c = ref::random_coating(37, K, 100 + K, 0.6);
        auto M = filled(4 * c.N), F = filled(4 * c.N), P = filled(4 * c.N);
        auto B = filled(4 * c.N), L = filled(4 * size_t(K) * c.N), dM = filled(4 * size_t(K) * c.N);
        ASSERT_EQ(calls::calc_M(c, M), 0);
        ASSERT_EQ(calls::forward(c, F, P), 0);
        ASSERT_EQ(calls::forward_backward(c, B, L, dM), 0);
        for (int i = 0; i < c.N; ++i) {
            const ref::Mat2 want = c.stack(i, 0, K);
            EXPECT_LT(ref::relative_difference(mat(M, c.N, i), want), 1e-12) << "K=" << K << " i=" << i;
            EXPECT_LT(ref::relative_difference(mat(B, c.N, i), want), 1e-12);
            EXPECT_LT(ref::relative_difference(mat(P, c.N, i), c.stack(i, 0, K - 1)), 1e-12);
            for (int j = 0; j < K; ++j) {
                EXPECT_LT(ref::relative_difference(mat(L, c.N, i, j), c.stack(i, j, j + 1)), 1e-13);
                EXPECT_LT(ref::relative_difference(mat(dM, c.N, i, j), c.stack_derivative(i, 0, K, j)), 1e-11)
                    << "K=" << K << " layer " << j;
            }
        }
        // Same operations in the same order: value for value.
        EXPECT_TRUE(calls::bitwise_equal(M, F)) << "K=" << K;
    }
}

TEST(StackMatrix, DeterminantIsOne) {
    const ref::Coating c = ref::random_coating(64, 25, 7, 0.9, 0.2);
    auto M = filled(4 * c.N);
    ASSERT_EQ(calls::calc_M(c, M), 0);
    for (int i = 0; i < c.N; ++i) {
        const ref::Mat2 m = mat(M, c.N, i);
        const auto det = m.m[0][0] * m.m[1][1] - m.m[0][1] * m.m[1][0];
        EXPECT_NEAR(std::abs(det - 1.0L), 0.0, 1e-10) << i;
    }
}

TEST(StackMatrix, ForwardPartialEqualsStackWithoutTopLayer) {
    ref::Coating c = ref::random_coating(19, 6, 3);
    auto F = filled(4 * c.N), P = filled(4 * c.N);
    ASSERT_EQ(calls::forward(c, F, P), 0);
    ref::Coating lower = c;
    lower.K = c.K - 1;
    auto M = filled(4 * c.N);
    ASSERT_EQ(calls::calc_M(lower, M), 0);
    EXPECT_TRUE(calls::bitwise_equal(P, M));

    // Zero thickness on top: partial and full products coincide.
    c.thicknesses.back() = 0.0;
    ASSERT_EQ(calls::forward(c, F, P), 0);
    EXPECT_TRUE(calls::bitwise_equal(F, P));
}

TEST(StackMatrix, ZeroThicknessLayerLeavesProductUnchanged) {
    const ref::Coating c = ref::random_coating(23, 5, 11);
    auto M = filled(4 * c.N);
    ASSERT_EQ(calls::calc_M(c, M), 0);
    for (int where : {0, 2, 5}) {
        ref::Coating w = ref::random_coating(23, 6, 11);
        // Same five layers with a zero-thickness sixth inserted at `where`.
        for (int j = 0, src = 0; j < 6; ++j) {
            if (j == where) {
                w.thicknesses[j] = 0.0;
                continue;
            }
            w.thicknesses[j] = c.thicknesses[src];
            for (int i = 0; i < c.N; ++i) {
                w.indices[size_t(j) * c.N + i] = c.n(src, i);
                w.admittances[size_t(j) * c.N + i] = c.eta(src, i);
            }
            ++src;
        }
        w.wavelengths = c.wavelengths;
        w.refresh_rows();
        auto W = filled(4 * c.N);
        ASSERT_EQ(calls::calc_M(w, W), 0);
        EXPECT_TRUE(calls::bitwise_equal(M, W)) << "zero layer at " << where;
    }
}

TEST(StackMatrix, QuarterWaveLayer) {
    ref::Coating c = ref::random_coating(1, 1, 1, 0.0, 0.0);
    const double n = 2.1;
    c.indices[0] = n;
    c.admittances[0] = n;
    c.wavelengths[0] = 550.0;
    c.thicknesses[0] = 550.0 / (4 * n);
    auto M = filled(4);
    ASSERT_EQ(calls::calc_M(c, M), 0);
    EXPECT_NEAR(std::abs(M[0]), 0.0, 1e-15);
    EXPECT_NEAR(std::abs(M[3]), 0.0, 1e-15);
    EXPECT_NEAR(std::abs(M[1] - cplx(0, 1 / n)), 0.0, 1e-15);
    EXPECT_NEAR(std::abs(M[2] - cplx(0, n)), 0.0, 1e-15);
}

// Below the angle invariant the normal component is imaginary; the sign of a
// zero imaginary part of n chooses which, in every kernel alike.
TEST(StackMatrix, SignedZeroPicksTheBranchOfTheSquareRoot) {
    const double x = 1.5, n_re = 1.2, d = 80.0, lambda = 500.0;
    const long double kappa = 6.283185307179586L / lambda * std::sqrt((long double)(x * x - n_re * n_re));
    for (double sign : {+1.0, -1.0}) {
        ref::Coating c = ref::random_coating(1, 1, 1, x, 0.0);
        c.indices[0] = cplx(n_re, std::copysign(0.0, sign));
        c.admittances[0] = 1.0;
        c.thicknesses[0] = d;
        c.wavelengths[0] = lambda;
        auto M = filled(4), F = filled(4), P = filled(4), B = filled(4), L = filled(4), dM = filled(4);
        ASSERT_EQ(calls::calc_M(c, M), 0);
        ASSERT_EQ(calls::forward(c, F, P), 0);
        ASSERT_EQ(calls::forward_backward(c, B, L, dM), 0);
        // delta = +-i kappa d: cos delta = cosh, i sin delta = -+ sinh.
        const double want01 = -sign * std::sinh(double(kappa * d));
        for (const auto* m : {&M, &F, &B, &L}) {
            EXPECT_NEAR((*m)[0].real(), std::cosh(double(kappa * d)), 1e-12);
            EXPECT_NEAR((*m)[1].real(), want01, 1e-12) << "sign " << sign;
        }
        // dM01/dd = delta' i cos delta with delta' = +-i kappa.
        EXPECT_NEAR(dM[1].real(), -sign * double(kappa) * std::cosh(double(kappa * d)), 1e-12);
    }
}

TEST(StackMatrix, NoLayersGiveTheIdentity) {
    for (int K : {0, -4}) {
        ref::Coating c = ref::random_coating(5, 0, 2);
        c.K = K;
        auto M = filled(20), F = filled(20), P = filled(20), B = filled(20);
        ASSERT_EQ(calls::calc_M(c, M), 0);
        ASSERT_EQ(calls::forward(c, F, P), 0);
        // No layer arrays at all: nothing but the stack matrix may be touched.
        ASSERT_EQ(::forward_backward(c.N, K, c.wavelengths.data(), nullptr, nullptr, nullptr, c.x,
                                     calls::sc(B.data()), nullptr, nullptr),
                  0);
        for (int i = 0; i < 5; ++i) {
            for (const auto* m : {&M, &F, &B}) {
                EXPECT_EQ((*m)[i], cplx(1, 0));
                EXPECT_EQ((*m)[5 + i], cplx(0, 0));
                EXPECT_EQ((*m)[10 + i], cplx(0, 0));
                EXPECT_EQ((*m)[15 + i], cplx(1, 0));
            }
        }
        EXPECT_TRUE(calls::bitwise_equal(P, filled(20))) << "partial product written for K=" << K;
    }
}

TEST(StackMatrix, EmptyRequestsAndRangesWriteNothing) {
    PoolGuard threads(4);
    const ref::Coating c = ref::random_coating(8, 3, 5);
    for (int N : {0, -1}) {
        ref::Coating e = c;
        e.N = N;
        auto M = filled(32), P = filled(32), L = filled(96), dM = filled(96);
        EXPECT_EQ(calls::calc_M(e, M), 0);
        EXPECT_EQ(calls::forward(e, M, P), 0);
        EXPECT_EQ(calls::forward_backward(e, M, L, dM), 0);
        for (const auto* v : {&M, &P}) EXPECT_TRUE(calls::bitwise_equal(*v, filled(32)));
        for (const auto* v : {&L, &dM}) EXPECT_TRUE(calls::bitwise_equal(*v, filled(96)));
    }
    // Kernels called directly on an empty range.
    const OneDArray<double> wl{c.N, const_cast<double*>(c.wavelengths.data())};
    const OneDArray<double> d{c.K, const_cast<double*>(c.thicknesses.data())};
    const TwoDArray<cplx> n{c.K, c.N, const_cast<cplx*>(c.indices.data())};
    const TwoDArray<cplx> eta{c.K, c.N, const_cast<cplx*>(c.admittances.data())};
    auto M = filled(32), P = filled(32), L = filled(96), dM = filled(96);
    const ThreeDArray<cplx> Mv{2, 2, c.N, M.data()}, Pv{2, 2, c.N, P.data()};
    const FourDArray<cplx> Lv{c.K, 2, 2, c.N, L.data()}, dMv{c.K, 2, 2, c.N, dM.data()};
    calc_M_(5, 5, c.K, wl, d, c.index_rows.data(), c.admittance_rows.data(), c.x, Mv);
    forward_(6, 2, c.K, wl, d, n, eta, c.x, Mv, Pv);
    forward_backward_(3, 3, c.K, wl, d, n, eta, c.x, Mv, Lv, dMv);
    forward_backward_(4, 1, 0, wl, d, n, eta, c.x, Mv, Lv, dMv);
    for (const auto* v : {&M, &P}) EXPECT_TRUE(calls::bitwise_equal(*v, filled(32)));
    for (const auto* v : {&L, &dM}) EXPECT_TRUE(calls::bitwise_equal(*v, filled(96)));
}

TEST(StackMatrix, DerivativesMatchCentralDifferences) {
    const ref::Coating c = ref::random_coating(9, 8, 21, 0.5);
    auto B = filled(4 * c.N), L = filled(32 * c.N), dM = filled(32 * c.N);
    ASSERT_EQ(calls::forward_backward(c, B, L, dM), 0);
    const double h = 1e-4;
    for (int i = 0; i < c.N; ++i)
        for (int j = 0; j < c.K; ++j) {
            ref::Coating up = c, down = c;
            up.thicknesses[j] += h;
            down.thicknesses[j] -= h;
            auto Mu = filled(4 * c.N), Md = filled(4 * c.N);
            calls::calc_M(up, Mu);
            calls::calc_M(down, Md);
            for (int e = 0; e < 4; ++e) {
                const cplx fd = (Mu[size_t(e) * c.N + i] - Md[size_t(e) * c.N + i]) / (2 * h);
                EXPECT_NEAR(std::abs(dM[(size_t(4) * j + e) * c.N + i] - fd), 0.0, 1e-6 * (1 + std::abs(fd)));
            }
        }
}

// The C-library kernels' results through the entry points: the baseline
// builds for the length of a test.
struct BaselineBuilds {
    BaselineBuilds() { sardune::testing::use_baseline_builds(true); }
    ~BaselineBuilds() { sardune::testing::use_baseline_builds(false); }
};

// Positions past 2^31 elements, as a request of a billion wavelengths has
// them: the last two wavelengths of layer 1, and the (1, 1) plane of their
// stacks, lie more than 2^31 elements from the start.
TEST(Views, PositionsBeyondTwoToThe31AreReached) {
    const BaselineBuilds library_kernels;
    const int N = (1 << 30) + 3, K = 2;
    const int64_t n = N;
    Sparse<double> wl(n), d(K);
    Sparse<cplx> idx(K * n), eta(K * n), M(4 * n), P(4 * n), dM(4 * n);
    ASSERT_TRUE(wl.data() && d.data() && idx.data() && eta.data() && M.data() && P.data() && dM.data())
        << "no address space for the sparse arrays";
    // The last two wavelengths carry a small test coating.
    const ref::Coating c = ref::random_coating(2, K, 5, 0.4);
    for (int j = 0; j < K; ++j) {
        d.data()[j] = c.thicknesses[j];
        for (int i = 0; i < 2; ++i) {
            idx.data()[j * n + N - 2 + i] = c.n(j, i);
            eta.data()[j * n + N - 2 + i] = c.eta(j, i);
        }
    }
    for (int i = 0; i < 2; ++i) wl.data()[N - 2 + i] = c.wavelengths[i];
    auto want = filled(8), want_P = filled(8), B = filled(8), L = filled(8 * K), D = filled(8 * K);
    ASSERT_EQ(calls::forward(c, want, want_P), 0);
    ASSERT_EQ(calls::forward_backward(c, B, L, D), 0);

    const OneDArray<double> wv{n, wl.data()}, dv{K, d.data()};
    const TwoDArray<cplx> nv{K, n, idx.data()}, ev{K, n, eta.data()};
    const ThreeDArray<cplx> Mv{2, 2, n, M.data()}, Pv{2, 2, n, P.data()};
    forward_(N - 2, N, K, wv, dv, nv, ev, c.x, Mv, Pv);
    for (int e = 0; e < 4; ++e)
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(M.data()[e * n + N - 2 + i], want[e * 2 + i]) << "entry " << e;
            EXPECT_EQ(P.data()[e * n + N - 2 + i], want_P[e * 2 + i]) << "entry " << e;
        }
    // One layer's matrix and derivative, as per-layer stacks of one layer.
    const TwoDArray<cplx> n1{1, n, idx.data() + n}, e1{1, n, eta.data() + n};
    const OneDArray<double> d1{1, d.data() + 1};
    const FourDArray<cplx> Lv{1, 2, 2, n, P.data()}, Dv{1, 2, 2, n, dM.data()};
    forward_backward_(N - 2, N, 1, wv, d1, n1, e1, c.x, Mv, Lv, Dv);
    for (int e = 0; e < 4; ++e)
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(P.data()[e * n + N - 2 + i], L[(4 + e) * 2 + i]) << "layer matrix entry " << e;
            EXPECT_EQ(M.data()[e * n + N - 2 + i], L[(4 + e) * 2 + i]) << "stack of one layer, entry " << e;
        }
}

// The layer matrix in the two groupings the kernels state: the stack
// products take S (i/eta) and S (i eta), the derivative path (i S)/eta and
// (i S) eta. Over ordinary data the groupings round differently, so each
// kernel's results pin its own.
TEST(StackMatrix, LayerMatrixKeepsItsGrouping) {
    const BaselineBuilds library_kernels;
    const ref::Coating c = ref::random_coating(64, 1, 17, 0.45, 0.3);
    auto M = filled(4 * c.N), B = filled(4 * c.N), L = filled(4 * c.N), D = filled(4 * c.N);
    ASSERT_EQ(calls::calc_M(c, M), 0);
    ASSERT_EQ(calls::forward_backward(c, B, L, D), 0);
    const cplx I(0.0, 1.0);
    int differ = 0;
    for (int i = 0; i < c.N; ++i) {
        const cplx n = c.n(0, i), eta = c.eta(0, i);
        const cplx q = std::sqrt(cplx((n * n).real() - c.x * c.x, (n * n).imag()));
        const cplx delta = (c.thicknesses[0] * q) * (cplx(6.283185307179586, 0.0) / c.wavelengths[i]);
        const cplx S = std::sin(delta);
        const cplx stack_u = S * (I / eta), stack_v = S * (I * eta);
        const cplx derivative_u = (I * S) / eta, derivative_v = (I * S) * eta;
        EXPECT_EQ(M[c.N + i], stack_u) << i;
        EXPECT_EQ(M[2 * c.N + i], stack_v) << i;
        EXPECT_EQ(L[c.N + i], derivative_u) << i;
        EXPECT_EQ(L[2 * c.N + i], derivative_v) << i;
        differ += stack_u != derivative_u;
    }
    EXPECT_GT(differ, 0) << "the data does not tell the groupings apart";
}

// The partition of the shared frame: pool tasks in chunk order and the
// calling thread's last chunk with the remainder.
TEST(ChunkedFrame, PartitionFollowsTheTable) {
    struct Case {
        int N, W;
        std::vector<std::pair<int, int>> pool_chunks;
        std::pair<int, int> caller;
    };
    const std::vector<Case> cases = {
        {10, 3, {{0, 2}, {2, 4}, {4, 6}}, {6, 10}},
        {100, 2, {{0, 33}, {33, 66}}, {66, 100}},
        {3, 7, {{0, 1}, {1, 2}}, {2, 3}},
        {1, 7, {}, {0, 1}},
        {17, 0, {}, {0, 17}},
    };
    for (const Case& k : cases) {
        init(k.W + 1);
        std::mutex m;
        std::vector<std::pair<int, int>> on_pool;
        std::pair<int, int> on_caller{-1, -1};
        const auto me = std::this_thread::get_id();
        EXPECT_EQ(run_chunked(k.N, [&](int s, int e) {
                      std::lock_guard<std::mutex> lock(m);
                      if (std::this_thread::get_id() == me)
                          on_caller = {s, e};
                      else
                          on_pool.emplace_back(s, e);
                  }),
                  0);
        std::sort(on_pool.begin(), on_pool.end());
        EXPECT_EQ(on_pool, k.pool_chunks) << "N=" << k.N << " W=" << k.W;
        EXPECT_EQ(on_caller, k.caller) << "N=" << k.N << " W=" << k.W;
    }
    init(1);
}

TEST(ChunkedFrame, ResultsAreBitwiseIdenticalForEveryThreadCount) {
    const ref::Coating c = ref::random_coating(53, 9, 77, 0.7);
    ref::Coating solo = c;
    init(1);
    auto M1 = filled(4 * c.N), F1 = filled(4 * c.N), P1 = filled(4 * c.N), B1 = filled(4 * c.N);
    auto L1 = filled(36 * c.N), D1 = filled(36 * c.N);
    calls::calc_M(c, M1);
    calls::forward(c, F1, P1);
    calls::forward_backward(c, B1, L1, D1);
    for (int threads = 2; threads <= 8; ++threads) {
        PoolGuard guard(threads);
        auto M = filled(4 * c.N), F = filled(4 * c.N), P = filled(4 * c.N), B = filled(4 * c.N);
        auto L = filled(36 * c.N), D = filled(36 * c.N);
        calls::calc_M(c, M);
        calls::forward(c, F, P);
        calls::forward_backward(c, B, L, D);
        EXPECT_TRUE(calls::bitwise_equal(M, M1)) << threads;
        EXPECT_TRUE(calls::bitwise_equal(F, F1) && calls::bitwise_equal(P, P1)) << threads;
        EXPECT_TRUE(calls::bitwise_equal(B, B1) && calls::bitwise_equal(L, L1) && calls::bitwise_equal(D, D1))
            << threads;
    }
}

}  // namespace

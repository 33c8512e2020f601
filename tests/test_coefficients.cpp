// Partial-stack coefficients with thickness derivatives, and the batched
// matrix product, against the long-double reference.
#include <gtest/gtest.h>

#include "alloc_fault.hpp"
#include "engine_calls.hpp"
#include "reference.hpp"

using calls::cplx;
using calls::PoolGuard;
using calls::filled;
using calls::Records;

namespace {

void expect_records_match_reference(const ref::Coating& c, int d0, const Records& out, bool derivatives,
                                    double tolerance) {
    for (int i = 0; i < c.N; ++i)
        for (int j = d0; j < c.K; ++j) {
            const int m = j - d0;
            const ref::Mat2 M = c.stack(i, 0, j + 1);
            const ref::Coefficients want = ref::coefficients(M, c.eta0, c.substrate[i]);
            EXPECT_LT(ref::relative_difference(out.value(m, 0, i), want.t), tolerance) << "i=" << i << " j=" << j;
            EXPECT_LT(ref::relative_difference(out.value(m, 1, i), want.tb), tolerance);
            EXPECT_LT(ref::relative_difference(out.value(m, 2, i), want.r), tolerance);
            EXPECT_LT(ref::relative_difference(out.value(m, 3, i), want.rb), tolerance);
            if (!derivatives) continue;
            for (int k = d0; k <= j; ++k) {
                const ref::Coefficients dw =
                    ref::coefficient_derivatives(M, c.stack_derivative(i, 0, j + 1, k), c.eta0, c.substrate[i]);
                const double scale = 1e-3;  // per nm, against coefficients of order 1
                EXPECT_LT(std::abs(ref::lcplx(out.value(m, 4, i, k - d0)) - dw.t), tolerance * (std::abs(dw.t) + scale))
                    << "i=" << i << " j=" << j << " k=" << k;
                EXPECT_LT(std::abs(ref::lcplx(out.value(m, 5, i, k - d0)) - dw.r), tolerance * (std::abs(dw.r) + scale));
                EXPECT_LT(std::abs(ref::lcplx(out.value(m, 6, i, k - d0)) - dw.rb), tolerance * (std::abs(dw.rb) + scale));
            }
        }
}

TEST(TopProps, CoefficientsAndDerivativesMatchTheReference) {
    for (int threads : {1, 2, 5}) {
        PoolGuard guard(threads);
        const ref::Coating c = ref::random_coating(29, 7, 900 + threads, 0.55);
        Records out(c.N, c.K);
        ASSERT_EQ(calls::update_top_props(c, 0, {}, out, true), 0);
        expect_records_match_reference(c, 0, out, true, 1e-11);
    }
}

TEST(TopProps, BaseMatrixFromCalcMContinuesTheCoating) {
    PoolGuard guard(3);
    const ref::Coating c = ref::random_coating(31, 9, 4, 0.35);
    Records whole(c.N, c.K);
    ASSERT_EQ(calls::update_top_props(c, 0, {}, whole, true), 0);
    for (int d0 : {1, 4, 8}) {
        ref::Coating lower = c;
        lower.K = d0;
        auto base = filled(4 * c.N);
        ASSERT_EQ(calls::calc_M(lower, base), 0);
        Records top(c.N, c.K - d0);
        ASSERT_EQ(calls::update_top_props(c, d0, base, top, true), 0);
        expect_records_match_reference(c, d0, top, true, 1e-11);
        // The derivative for layer k sits at block k of the whole request and
        // at block k - d0 here.
        for (int i = 0; i < c.N; ++i)
            for (int k = d0; k < c.K; ++k) {
                const int last = c.K - 1;
                EXPECT_LT(std::abs(top.value(last - d0, 5, i, k - d0) - whole.value(last, 5, i, k)),
                          1e-11 * (1e-3 + std::abs(whole.value(last, 5, i, k))));
            }
    }
}

TEST(TopProps, SwitchOffLeavesDerivativeSlotsAndOtherColumnsAlone) {
    const ref::Coating c = ref::random_coating(10, 4, 8);
    Records out(c.N, c.K);
    ASSERT_EQ(calls::update_top_props(c, 0, {}, out, false), 0);
    expect_records_match_reference(c, 0, out, false, 1e-11);
    for (int m = 0; m < c.K; ++m)
        for (int s = 4; s < 7; ++s) EXPECT_TRUE(calls::bitwise_equal(out.slot(m, s), filled(out.slot(m, s).size())));
}

TEST(TopProps, DerivativesMatchCentralDifferences) {
    const ref::Coating c = ref::random_coating(6, 5, 33, 0.8);
    Records out(c.N, c.K);
    ASSERT_EQ(calls::update_top_props(c, 0, {}, out, true), 0);
    const double h = 1e-4;
    const int last = c.K - 1;
    for (int k = 0; k < c.K; ++k) {
        ref::Coating up = c, down = c;
        up.thicknesses[k] += h;
        down.thicknesses[k] -= h;
        Records ou(c.N, c.K), od(c.N, c.K);
        calls::update_top_props(up, 0, {}, ou, false);
        calls::update_top_props(down, 0, {}, od, false);
        for (int i = 0; i < c.N; ++i)
            for (auto [slot, coefficient] : {std::pair{4, 0}, {5, 2}, {6, 3}}) {
                const cplx fd = (ou.value(last, coefficient, i) - od.value(last, coefficient, i)) / (2 * h);
                EXPECT_NEAR(std::abs(out.value(last, slot, i, k) - fd), 0.0, 1e-7 + 1e-6 * std::abs(fd))
                    << "slot " << slot << " layer " << k;
            }
    }
}

TEST(TopProps, ZeroThicknessLayerGivesTheBareBoundary) {
    ref::Coating c = ref::random_coating(4, 1, 2, 0.3);
    c.thicknesses[0] = 0.0;
    Records out(c.N, 1);
    ASSERT_EQ(calls::update_top_props(c, 0, {}, out, true), 0);
    for (int i = 0; i < c.N; ++i) {
        const cplx e0 = c.eta0, es = c.substrate[i], sum = e0 + es;
        EXPECT_LT(std::abs(out.value(0, 0, i) - 2.0 * e0 / sum), 1e-15);
        EXPECT_LT(std::abs(out.value(0, 1, i) - 2.0 * es / sum), 1e-15);
        EXPECT_LT(std::abs(out.value(0, 2, i) - (e0 - es) / sum), 1e-15);
        EXPECT_LT(std::abs(out.value(0, 3, i) - (es - e0) / sum), 1e-15);
    }
}

TEST(TopProps, RecordOfALayerIgnoresTheLayersAboveIt) {
    ref::Coating c = ref::random_coating(12, 6, 15);
    Records first(c.N, c.K);
    ASSERT_EQ(calls::update_top_props(c, 0, {}, first, true), 0);
    for (int j = 3; j < c.K; ++j) {
        c.thicknesses[j] *= 1.7;
        for (int i = 0; i < c.N; ++i) c.indices[size_t(j) * c.N + i] += cplx(0.3, -0.01);
    }
    Records second(c.N, c.K);
    ASSERT_EQ(calls::update_top_props(c, 0, {}, second, true), 0);
    for (int m = 0; m < 3; ++m)
        for (int s = 0; s < 7; ++s) EXPECT_TRUE(calls::bitwise_equal(first.slot(m, s), second.slot(m, s)));
}

TEST(TopProps, BitwiseIdenticalAcrossThreadCountsAndChunkBoundaries) {
    const ref::Coating c = ref::random_coating(47, 5, 61, 0.2);
    init(1);
    Records want(c.N, c.K);
    ASSERT_EQ(calls::update_top_props(c, 0, {}, want, true), 0);
    for (int threads = 2; threads <= 8; ++threads) {
        PoolGuard guard(threads);
        Records got(c.N, c.K);
        ASSERT_EQ(calls::update_top_props(c, 0, {}, got, true), 0);
        for (int m = 0; m < c.K; ++m)
            for (int s = 0; s < 7; ++s) EXPECT_TRUE(calls::bitwise_equal(got.slot(m, s), want.slot(m, s))) << threads;
    }
}

TEST(TopProps, InvalidFirstLayerIsRejectedBeforeAnythingIsTouched) {
    const ref::Coating c = ref::random_coating(5, 3, 1);
    for (int d0 : {-1, 4, 1000}) {
        // Null arrays everywhere: reading or writing any of them would crash.
        EXPECT_EQ(::update_top_props(c.N, c.K, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, c.x, nullptr, d0,
                                     nullptr, true),
                  SARDUNE_ERR_INVALID_REQUEST)
            << d0;
    }
    // d0 = K is a valid empty request.
    EXPECT_EQ(::update_top_props(c.N, c.K, nullptr, nullptr, nullptr, nullptr, calls::sc(&c.eta0), nullptr, c.x,
                                 nullptr, c.K, nullptr, true),
              0);
}

TEST(TopProps, ScratchThatCannotBeAllocatedReportsOutOfMemory) {
    const ref::Coating c = ref::random_coating(40, 3, 1);
    for (int threads : {1, 3}) {
        PoolGuard guard(threads);
        Records out(c.N, c.K);
        {
            alloc_fault::Scope fail(0);
            EXPECT_EQ(calls::update_top_props(c, 0, {}, out, true), SARDUNE_ERR_OUT_OF_MEMORY) << threads;
        }
        // The scratch comes before the first write: nothing of the request shows.
        for (int m = 0; m < c.K; ++m)
            for (int s = 0; s < 7; ++s) EXPECT_TRUE(out.records[m].untouched(s)) << threads << " " << m << " " << s;
        EXPECT_EQ(calls::update_top_props(c, 0, {}, out, true), 0);
    }
}

// A C caller may pass any nonzero byte as true; reading such a byte as a C++
// bool would be undefined behaviour (the sanitizer build stops on it).
TEST(TopProps, AnyNonzeroSwitchByteMeansDerivatives) {
    using ByteSwitch = int (*)(int, int, const double*, const double*, const sardune_complex* const*,
                               const sardune_complex* const*, const sardune_complex*, const sardune_complex*, double,
                               const sardune_complex*, int, sardune_complex* const* const*, unsigned char);
    const auto entry = reinterpret_cast<ByteSwitch>(reinterpret_cast<void (*)()>(&::update_top_props));
    const ref::Coating c = ref::random_coating(7, 3, 12);
    Records want(c.N, c.K), got(c.N, c.K);
    ASSERT_EQ(calls::update_top_props(c, 0, {}, want, true), 0);
    ASSERT_EQ(entry(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), calls::sc(c.index_rows.data()),
                    calls::sc(c.admittance_rows.data()), calls::sc(&c.eta0), calls::sc(c.substrate.data()), c.x,
                    nullptr, 0, got.table.data(), 2),
              0);
    for (int m = 0; m < c.K; ++m) EXPECT_TRUE(calls::bitwise_equal(got.records[m], want.records[m])) << m;
}

TEST(Matmul, ProductOfLayerStacksEqualsTheStackMatrix) {
    const ref::Coating c = ref::random_coating(21, 6, 3, 0.4);
    auto M = filled(4 * c.N), B = filled(4 * c.N), L = filled(24 * c.N), D = filled(24 * c.N);
    ASSERT_EQ(calls::calc_M(c, M), 0);
    ASSERT_EQ(calls::forward_backward(c, B, L, D), 0);
    std::vector<const sardune_complex*> stacks;
    for (int j = 0; j < c.K; ++j) stacks.push_back(calls::sc(L.data() + size_t(4) * j * c.N));
    auto P = filled(4 * c.N);
    ASSERT_EQ(matmul_22X(c.K, c.N, stacks.data(), calls::sc(P.data())), 0);
    for (int i = 0; i < c.N; ++i)
        EXPECT_LT(ref::relative_difference(calls::mat(P, c.N, i), calls::mat(M, c.N, i)), 1e-13);

    // Order: A_1 A_0, not A_0 A_1; and the result may be A_0 itself.
    std::vector<cplx> A0(L.begin(), L.begin() + 4 * c.N);
    stacks = {calls::sc(A0.data()), calls::sc(L.data() + 4 * c.N)};
    ASSERT_EQ(matmul_22X(2, c.N, stacks.data(), calls::sc(A0.data())), 0);
    for (int i = 0; i < c.N; ++i) {
        const ref::Mat2 want = calls::mat(L, c.N, i, 1) * calls::mat(L, c.N, i, 0);
        EXPECT_LT(ref::relative_difference(calls::mat(A0, c.N, i), want), 1e-14);
    }
}

TEST(Matmul, EmptyRequestsLeaveTheResultAndCopySingleStacks) {
    auto A = filled(8);
    for (int e = 0; e < 8; ++e) A[e] = cplx(e, -e);
    const sardune_complex* stacks[] = {calls::sc(A.data())};
    auto P = filled(8);
    EXPECT_EQ(matmul_22X(0, 2, stacks, calls::sc(P.data())), 0);
    EXPECT_EQ(matmul_22X(1, 0, stacks, calls::sc(P.data())), 0);
    EXPECT_EQ(matmul_22X(-2, -1, nullptr, calls::sc(P.data())), 0);
    EXPECT_TRUE(calls::bitwise_equal(P, filled(8)));
    EXPECT_EQ(matmul_22X(1, 2, stacks, calls::sc(P.data())), 0);
    EXPECT_TRUE(calls::bitwise_equal(P, A));
}

}  // namespace

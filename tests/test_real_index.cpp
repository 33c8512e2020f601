// The scalar real-index path: against a complex-matrix reference, finite
// differences, the former quadratic-cost algorithm and closed forms, and its
// handling of bad requests.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include "alloc_fault.hpp"
#include "interface/exports.hpp"
#include "real_index/real_index.hpp"
#include "engine_calls.hpp"
#include "real_index_quadratic.hpp"

namespace {

using calls::cplx;
using calls::Record;
using calls::max_abs;
using calls::worst_difference;
using calls::sentinel;
using ref::Coating;


double rel(cplx got, ref::lcplx want) { return double(std::abs(ref::lcplx(got) - want) / std::max(std::abs(want), 1e-300L)); }
double dist(cplx got, ref::lcplx want) { return double(std::abs(ref::lcplx(got) - want)); }

TEST(RealIndexScalar, MatchesComplexMatrixReference) {
    for (int K : {1, 2, 7, 25}) {
        Coating c = ref::lossless_coating(37, K, 10u + K);
        Record rec(c.N, c.K);
        ASSERT_EQ(calls::real_index_scalar(c, rec, false), SARDUNE_OK);
        for (int i = 0; i < c.N; ++i) {
            const ref::Coefficients want = calls::reference_coefficients(c, i);
            EXPECT_LT(rel(rec.at(0, i), want.t), 1e-12) << "K=" << K << " i=" << i;
            EXPECT_LT(rel(rec.at(1, i), want.tb), 1e-12);
            // r can pass through zero near a design wavelength: measure against |t|.
            EXPECT_LT(dist(rec.at(2, i), want.r), 1e-12);
            EXPECT_LT(dist(rec.at(3, i), want.rb), 1e-12);
        }
        for (int s = 4; s < 7; ++s) EXPECT_TRUE(rec.untouched(s)) << "slot " << s;
    }
}

// Each derivative against a central difference of the reference, for thin
// and thick coatings (the derivative of a bottom layer passes through every
// product of the downward sweep).
TEST(RealIndexScalar, DerivativesMatchCentralDifferences) {
    for (auto [N, K] : {std::pair{9, 6}, std::pair{3, 61}, std::pair{2, 300}}) {
        Coating c = ref::lossless_coating(N, K, 3u + K);
        Record rec(c.N, c.K);
        ASSERT_EQ(calls::real_index_scalar(c, rec, true), SARDUNE_OK);
        // Long double leaves room for a small step: the truncation error of
        // thick coatings stays far below the tolerance.
        const double h = 1e-4;
        for (int k = 0; k < c.K; k += (K > 10 ? 7 : 1)) {
            for (int i = 0; i < c.N; ++i) {
                const ref::Coefficients p = calls::reference_coefficients(c, i, k, h),
                                        m = calls::reference_coefficients(c, i, k, -h);
                const cplx dt(ref::lcplx(p.t - m.t) / (2.0L * h)), dr(ref::lcplx(p.r - m.r) / (2.0L * h)),
                    drb(ref::lcplx(p.rb - m.rb) / (2.0L * h));
                const double scale = 1e-7 * std::max({std::abs(dt), std::abs(dr), std::abs(drb), 1e-3});
                EXPECT_NEAR(std::abs(rec.at(4, i, k) - dt), 0.0, scale) << "K=" << K << " k=" << k << " i=" << i;
                EXPECT_NEAR(std::abs(rec.at(5, i, k) - dr), 0.0, scale);
                EXPECT_NEAR(std::abs(rec.at(6, i, k) - drb), 0.0, scale);
            }
        }
        // The derivative switch does not change the coefficients.
        Record plain(c.N, c.K);
        ASSERT_EQ(calls::real_index_scalar(c, plain, false), SARDUNE_OK);
        for (int s = 0; s < 4; ++s) EXPECT_EQ(plain.slots[s], rec.slots[s]);
    }
}

// The linear sweep groups the products above a layer differently from the
// former algorithm, which moved every earlier derivative up layer by layer.
// The same values to rounding: a few 1e-15 (relative to each slot's largest
// value) for up to 33 layers of the test stack; for thick reflectors of up
// to 300 layers, whose matrices grow large inside the stop band, within
// 1e-12, where either algorithm's own error against the long-double
// reference already reaches several 1e-12.
TEST(RealIndexScalar, DerivativesAgreeWithTheQuadraticAlgorithm) {
    double worst[2] = {0.0, 0.0};
    auto check = [&worst](int N, int K, bool thick) {
        const Coating c = ref::lossless_coating(N, K, 1000u + 41u * K + N);
        Record got(N, K), want(N, K);
        ASSERT_EQ(calls::real_index_scalar(c, got, true), SARDUNE_OK);
        ref::real_index_quadratic(c, want.raw(), true);
        const double d = worst_difference(got, want);
        worst[thick] = std::max(worst[thick], d);
        ASSERT_LT(d, thick ? 1e-12 : 5e-15) << "N=" << N << " K=" << K;
    };
    for (int K : {1, 2, 3, 4, 5, 8, 16, 17, 24, 33})
        for (int N = 1; N <= 40; ++N) check(N, K, false);
    for (int K : {40, 64, 100, 150, 200, 299, 300})
        for (int N : {1, 2, 3, 6, 11, 13, 27, 40}) check(N, K, true);
    char text[64];
    std::snprintf(text, sizeof text, "%.3g up to 33 layers, %.3g beyond", worst[0], worst[1]);
    RecordProperty("worst_relative_difference", text);
}

TEST(RealIndexScalar, SingleZeroThicknessLayerIsTheBareBoundary) {
    Coating c = ref::lossless_coating(5, 1, 4u);
    c.thicknesses[0] = 0.0;
    Record rec(c.N, c.K);
    ASSERT_EQ(calls::real_index_scalar(c, rec, false), SARDUNE_OK);
    for (int i = 0; i < c.N; ++i) {
        const cplx e0 = c.eta0, es = c.substrate[i], sum = e0 + es;
        EXPECT_LT(rel(rec.at(0, i), 2.0 * e0 / sum), 1e-15);
        EXPECT_LT(rel(rec.at(1, i), 2.0 * es / sum), 1e-15);
        EXPECT_LT(rel(rec.at(2, i), (e0 - es) / sum), 1e-14);
        EXPECT_LT(rel(rec.at(3, i), (es - e0) / sum), 1e-14);
    }
}

TEST(RealIndexScalar, ImaginaryPartsOfLayersAreIgnored) {
    Coating c = ref::lossless_coating(11, 5, 5u);
    Record plain(c.N, c.K);
    ASSERT_EQ(calls::real_index_scalar(c, plain, true), SARDUNE_OK);
    for (int j = 0; j < c.K; ++j)
        for (int i = 0; i < c.N; ++i) {
            c.n(j, i).imag(0.1 + 0.01 * i);
            c.eta(j, i).imag(-3.0);
        }
    Record absorbing(c.N, c.K);
    ASSERT_EQ(calls::real_index_scalar(c, absorbing, true), SARDUNE_OK);
    for (int s = 0; s < 7; ++s) EXPECT_EQ(plain.slots[s], absorbing.slots[s]) << "slot " << s;
}

// n == x: kappa = 0, so the layer is the identity and its derivative zero.
TEST(RealIndexScalar, IndexEqualToAngleInvariantIsTransparent) {
    Coating c = ref::lossless_coating(8, 4, 6u);
    for (int i = 0; i < c.N; ++i) c.n(2, i) = cplx(c.x, 0.0);
    Record rec(c.N, c.K);
    ASSERT_EQ(calls::real_index_scalar(c, rec, true), SARDUNE_OK);

    const Coating without = c.without_layer(2);
    Record want(without.N, without.K);
    ASSERT_EQ(calls::real_index_scalar(without, want, false), SARDUNE_OK);
    for (int s = 0; s < 4; ++s) EXPECT_EQ(rec.slots[s], want.slots[s]);
    for (int s = 4; s < 7; ++s)
        for (int i = 0; i < c.N; ++i) EXPECT_EQ(std::abs(rec.at(s, i, 2)), 0.0);
}

TEST(RealIndexScalar, EvanescentLayerGivesNaNAtItsWavelengthOnly) {
    Coating c = ref::lossless_coating(6, 3, 7u);
    c.n(1, 4) = cplx(0.5 * c.x, 0.0);
    Record rec(c.N, c.K);
    ASSERT_EQ(calls::real_index_scalar(c, rec, true), SARDUNE_OK);
    for (int i = 0; i < c.N; ++i)
        for (int s = 0; s < 7; ++s)
            for (int k = 0; k < (s < 4 ? 1 : c.K); ++k) {
                const cplx v = rec.at(s, i, k);
                if (i == 4)
                    EXPECT_TRUE(std::isnan(v.real()) || std::isnan(v.imag())) << "slot " << s << " k " << k;
                else
                    EXPECT_TRUE(std::isfinite(v.real()) && std::isfinite(v.imag()));
            }
}

TEST(RealIndexScalar, EmptyRequestsWriteNothing) {
    Coating c = ref::lossless_coating(4, 3, 8u);
    Record rec(c.N, c.K);
    for (int N : {0, -5})
        EXPECT_EQ(update_optiprops_real_n(N, c.K, c.wavelengths.data(), c.thicknesses.data(), calls::sc(c.index_rows.data()),
                                          calls::sc(c.admittance_rows.data()), calls::sc(&c.eta0), calls::sc(c.substrate.data()), c.x, rec.c(), true),
                  SARDUNE_OK);
    for (int s = 0; s < 7; ++s) EXPECT_TRUE(rec.untouched(s));
}

// A coating of no layers is the bare boundary: the entry point and the
// exported kernel write its four coefficients and read no layer data (every
// layer pointer and the scratch are null); there is no derivative to write.
TEST(RealIndexScalar, NoLayersIsTheBareBoundary) {
    Coating c = ref::lossless_coating(5, 2, 8u);
    auto expect_boundary = [&c](const Record& rec) {
        for (int i = 0; i < c.N; ++i) {
            const cplx e0 = c.eta0, es = c.substrate[i], sum = e0 + es;
            EXPECT_LT(rel(rec.value(0, i), 2.0L * ref::lcplx(e0) / ref::lcplx(sum)), 1e-15) << i;
            EXPECT_LT(rel(rec.value(1, i), 2.0L * ref::lcplx(es) / ref::lcplx(sum)), 1e-15);
            EXPECT_LT(rel(rec.value(2, i), ref::lcplx(e0 - es) / ref::lcplx(sum)), 1e-15);
            EXPECT_LT(rel(rec.value(3, i), ref::lcplx(es - e0) / ref::lcplx(sum)), 1e-15);
        }
        for (int s = 4; s < 7; ++s) EXPECT_TRUE(rec.untouched(s));
    };
    for (bool derivatives : {false, true}) {
        Record entry(c.N, c.K), kernel(c.N, c.K);
        EXPECT_EQ(update_optiprops_real_n(c.N, 0, c.wavelengths.data(), nullptr, nullptr, nullptr, calls::sc(&c.eta0),
                                          calls::sc(c.substrate.data()), c.x, entry.c(), derivatives),
                  SARDUNE_OK);
        expect_boundary(entry);
        update_optiprops_real_n_(c.N, 0, c.wavelengths.data(), nullptr, nullptr, nullptr, c.eta0, c.substrate.data(),
                                 c.x, kernel.raw(), derivatives, nullptr);
        EXPECT_TRUE(calls::bitwise_equal(kernel, entry));
    }
}

// Nothing may be read: every pointer is null.
TEST(RealIndexScalar, NegativeLayerCountIsRejectedUntouched) {
    for (int K : {-1, -2, std::numeric_limits<int>::min()})
        EXPECT_EQ(update_optiprops_real_n(10, K, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0.0,
                                          nullptr, true),
                  SARDUNE_ERR_INVALID_REQUEST);
    const sardune::real_index::Request q{4, -3, nullptr, nullptr, nullptr, nullptr, cplx(1.0), nullptr, 0.0, nullptr, true};
    sardune::real_index::scalar_range(q, 0, 4);
    sardune::real_index::scalar_columns(q, 0, 4, nullptr);
}

TEST(RealIndexScalar, FailedScratchIsOutOfMemory) {
    Coating c = ref::lossless_coating(4, 3, 9u);
    Record rec(c.N, c.K);
    {
        alloc_fault::Scope guard(0);
        EXPECT_EQ(calls::real_index_scalar(c, rec, true), SARDUNE_ERR_OUT_OF_MEMORY);
        EXPECT_EQ(alloc_fault::failures(), 1);
    }
    for (int s = 0; s < 7; ++s) EXPECT_TRUE(rec.untouched(s));
    EXPECT_EQ(calls::real_index_scalar(c, rec, true), SARDUNE_OK);
}

// The exported kernel takes the derivatives' scratch itself: when it cannot
// be had it throws before writing; the coefficients alone allocate nothing.
TEST(RealIndexScalar, ExportedKernelThrowsOnlyForAFailedDerivativeScratch) {
    const Coating c = ref::lossless_coating(4, 3, 10u);
    std::vector<double> scratch(4 * c.K, 0.0);
    auto run = [&](Record& rec, bool derivatives) {
        update_optiprops_real_n_(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), c.index_rows.data(),
                                 c.admittance_rows.data(), c.eta0, c.substrate.data(), c.x, rec.raw(), derivatives,
                                 scratch.data());
    };
    Record failed(c.N, c.K), plain(c.N, c.K), want(c.N, c.K);
    {
        alloc_fault::Scope guard(0);
        EXPECT_THROW(run(failed, true), std::bad_alloc);
        EXPECT_NO_THROW(run(plain, false));
        EXPECT_EQ(alloc_fault::failures(), 1);
    }
    for (int s = 0; s < 7; ++s) EXPECT_TRUE(failed.untouched(s));
    ASSERT_EQ(calls::real_index_scalar(c, want, false), SARDUNE_OK);
    EXPECT_TRUE(calls::bitwise_equal(plain, want));
}

// A C caller may pass any nonzero byte as true.
TEST(RealIndexScalar, AnyNonzeroSwitchByteMeansDerivatives) {
    using ByteSwitch = int (*)(int, int, const double*, const double*, const sardune_complex* const*,
                               const sardune_complex* const*, const sardune_complex*, const sardune_complex*,
                               double, sardune_complex* const*, unsigned char);
    const auto entry = reinterpret_cast<ByteSwitch>(reinterpret_cast<void (*)()>(&update_optiprops_real_n));
    Coating c = ref::lossless_coating(5, 3, 11u);
    Record want(c.N, c.K), got(c.N, c.K);
    ASSERT_EQ(calls::real_index_scalar(c, want, true), SARDUNE_OK);
    ASSERT_EQ(entry(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), calls::sc(c.index_rows.data()), calls::sc(c.admittance_rows.data()),
                    calls::sc(&c.eta0), calls::sc(c.substrate.data()), c.x, got.c(), 0x40),
              SARDUNE_OK);
    for (int s = 0; s < 7; ++s) EXPECT_EQ(got.slots[s], want.slots[s]);
}

// The range form writes exactly its own columns, with the whole-request values.
TEST(RealIndexScalar, RangesWriteTheirOwnColumns) {
    Coating c = ref::lossless_coating(12, 4, 12u);
    Record whole(c.N, c.K), part(c.N, c.K);
    std::vector<double> scratch(4 * c.K, 0.0);
    update_optiprops_real_n_(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), c.index_rows.data(),
                             c.admittance_rows.data(), c.eta0, c.substrate.data(), c.x, whole.raw(), true,
                             scratch.data());
    sardune::real_index::scalar_range({c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), c.index_rows.data(),
                                       c.admittance_rows.data(), c.eta0, c.substrate.data(), c.x, part.raw(), true},
                                      3, 8);
    for (int s = 0; s < 7; ++s)
        for (int k = 0; k < (s < 4 ? 1 : c.K); ++k)
            for (int i = 0; i < c.N; ++i)
                EXPECT_EQ(part.at(s, i, k), (i >= 3 && i < 8) ? whole.at(s, i, k) : sentinel());
}

}  // namespace

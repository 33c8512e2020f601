// The scalar real-index path: against a complex-matrix reference, finite
// differences and closed forms, and its handling of bad requests.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "alloc_fault.hpp"
#include "interface/exports.hpp"
#include "real_index/real_index.hpp"
#include "real_index_case.hpp"

namespace {

using namespace real_index_case;

int run_scalar(const Coating& c, Record& rec, bool derivatives) {
    return update_optiprops_real_n(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), c.c_indices(),
                                   c.c_admittances(), c.c_eta0(), c.c_substrate(), c.x, rec.c(),
                                   derivatives);
}

double rel(cplx got, cplx want) { return std::abs(got - want) / std::max(std::abs(want), 1e-300); }

TEST(RealIndexScalar, MatchesComplexMatrixReference) {
    for (int K : {1, 2, 7, 25}) {
        Coating c(37, K, 10u + K);
        Record rec(c.N, c.K);
        ASSERT_EQ(run_scalar(c, rec, false), SARDUNE_OK);
        for (int i = 0; i < c.N; ++i) {
            const Coefficients want = reference(c, i);
            EXPECT_LT(rel(rec.at(0, i), want.t), 1e-12) << "K=" << K << " i=" << i;
            EXPECT_LT(rel(rec.at(1, i), want.tb), 1e-12);
            // r can pass through zero near a design wavelength: measure against |t|.
            EXPECT_LT(std::abs(rec.at(2, i) - want.r), 1e-12);
            EXPECT_LT(std::abs(rec.at(3, i) - want.rb), 1e-12);
        }
        for (int s = 4; s < 7; ++s) EXPECT_TRUE(rec.untouched(s)) << "slot " << s;
    }
}

// Each derivative against a central difference of the reference.
TEST(RealIndexScalar, DerivativesMatchCentralDifferences) {
    Coating c(9, 6, 3u);
    Record rec(c.N, c.K);
    ASSERT_EQ(run_scalar(c, rec, true), SARDUNE_OK);
    const double h = 1e-3;
    for (int k = 0; k < c.K; ++k) {
        std::vector<double> up = c.thicknesses, down = c.thicknesses;
        up[k] += h;
        down[k] -= h;
        for (int i = 0; i < c.N; ++i) {
            const Coefficients p = reference(c, i, up), m = reference(c, i, down);
            const cplx dt = (p.t - m.t) / (2 * h), dr = (p.r - m.r) / (2 * h), drb = (p.rb - m.rb) / (2 * h);
            const double scale = 1e-7 * std::max({std::abs(dt), std::abs(dr), std::abs(drb), 1e-3});
            EXPECT_NEAR(std::abs(rec.at(4, i, k) - dt), 0.0, scale) << "k=" << k << " i=" << i;
            EXPECT_NEAR(std::abs(rec.at(5, i, k) - dr), 0.0, scale);
            EXPECT_NEAR(std::abs(rec.at(6, i, k) - drb), 0.0, scale);
        }
    }
    // The derivative switch does not change the coefficients.
    Record plain(c.N, c.K);
    ASSERT_EQ(run_scalar(c, plain, false), SARDUNE_OK);
    for (int s = 0; s < 4; ++s) EXPECT_EQ(plain.slots[s], rec.slots[s]);
}

TEST(RealIndexScalar, SingleZeroThicknessLayerIsTheBareBoundary) {
    Coating c(5, 1, 4u);
    c.thicknesses[0] = 0.0;
    Record rec(c.N, c.K);
    ASSERT_EQ(run_scalar(c, rec, false), SARDUNE_OK);
    for (int i = 0; i < c.N; ++i) {
        const cplx e0 = c.eta0, es = c.substrate[i], sum = e0 + es;
        EXPECT_LT(rel(rec.at(0, i), 2.0 * e0 / sum), 1e-15);
        EXPECT_LT(rel(rec.at(1, i), 2.0 * es / sum), 1e-15);
        EXPECT_LT(rel(rec.at(2, i), (e0 - es) / sum), 1e-14);
        EXPECT_LT(rel(rec.at(3, i), (es - e0) / sum), 1e-14);
    }
}

TEST(RealIndexScalar, ImaginaryPartsOfLayersAreIgnored) {
    Coating c(11, 5, 5u);
    Record plain(c.N, c.K);
    ASSERT_EQ(run_scalar(c, plain, true), SARDUNE_OK);
    for (int j = 0; j < c.K; ++j)
        for (int i = 0; i < c.N; ++i) {
            c.indices[j][i].imag(0.1 + 0.01 * i);
            c.admittances[j][i].imag(-3.0);
        }
    Record absorbing(c.N, c.K);
    ASSERT_EQ(run_scalar(c, absorbing, true), SARDUNE_OK);
    for (int s = 0; s < 7; ++s) EXPECT_EQ(plain.slots[s], absorbing.slots[s]) << "slot " << s;
}

// n == x: kappa = 0, so the layer is the identity and its derivative zero.
TEST(RealIndexScalar, IndexEqualToAngleInvariantIsTransparent) {
    Coating c(8, 4, 6u);
    for (int i = 0; i < c.N; ++i) c.indices[2][i] = cplx(c.x, 0.0);
    Record rec(c.N, c.K);
    ASSERT_EQ(run_scalar(c, rec, true), SARDUNE_OK);

    const Coating without = c.without_layer(2);
    Record want(without.N, without.K);
    ASSERT_EQ(run_scalar(without, want, false), SARDUNE_OK);
    for (int s = 0; s < 4; ++s) EXPECT_EQ(rec.slots[s], want.slots[s]);
    for (int s = 4; s < 7; ++s)
        for (int i = 0; i < c.N; ++i) EXPECT_EQ(std::abs(rec.at(s, i, 2)), 0.0);
}

TEST(RealIndexScalar, EvanescentLayerGivesNaNAtItsWavelengthOnly) {
    Coating c(6, 3, 7u);
    c.indices[1][4] = cplx(0.5 * c.x, 0.0);
    Record rec(c.N, c.K);
    ASSERT_EQ(run_scalar(c, rec, true), SARDUNE_OK);
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
    Coating c(4, 3, 8u);
    Record rec(c.N, c.K);
    EXPECT_EQ(update_optiprops_real_n(c.N, 0, c.wavelengths.data(), nullptr, nullptr, nullptr, c.c_eta0(),
                                      c.c_substrate(), c.x, rec.c(), true),
              SARDUNE_OK);
    for (int N : {0, -5})
        EXPECT_EQ(update_optiprops_real_n(N, c.K, c.wavelengths.data(), c.thicknesses.data(), c.c_indices(),
                                          c.c_admittances(), c.c_eta0(), c.c_substrate(), c.x, rec.c(), true),
                  SARDUNE_OK);
    for (int s = 0; s < 7; ++s) EXPECT_TRUE(rec.untouched(s));
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
    Coating c(4, 3, 9u);
    Record rec(c.N, c.K);
    {
        alloc_fault::Scope guard(0);
        EXPECT_EQ(run_scalar(c, rec, true), SARDUNE_ERR_OUT_OF_MEMORY);
        EXPECT_EQ(alloc_fault::failures(), 1);
    }
    for (int s = 0; s < 7; ++s) EXPECT_TRUE(rec.untouched(s));
    EXPECT_EQ(run_scalar(c, rec, true), SARDUNE_OK);
}

// A C caller may pass any nonzero byte as true.
TEST(RealIndexScalar, AnyNonzeroSwitchByteMeansDerivatives) {
    using ByteSwitch = int (*)(int, int, const double*, const double*, const sardune_complex* const*,
                               const sardune_complex* const*, const sardune_complex*, const sardune_complex*,
                               double, sardune_complex* const*, unsigned char);
    const auto entry = reinterpret_cast<ByteSwitch>(reinterpret_cast<void (*)()>(&update_optiprops_real_n));
    Coating c(5, 3, 11u);
    Record want(c.N, c.K), got(c.N, c.K);
    ASSERT_EQ(run_scalar(c, want, true), SARDUNE_OK);
    ASSERT_EQ(entry(c.N, c.K, c.wavelengths.data(), c.thicknesses.data(), c.c_indices(), c.c_admittances(),
                    c.c_eta0(), c.c_substrate(), c.x, got.c(), 0x40),
              SARDUNE_OK);
    for (int s = 0; s < 7; ++s) EXPECT_EQ(got.slots[s], want.slots[s]);
}

// The range form writes exactly its own columns, with the whole-request values.
TEST(RealIndexScalar, RangesWriteTheirOwnColumns) {
    Coating c(12, 4, 12u);
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
                EXPECT_EQ(part.at(s, i, k), (i >= 3 && i < 8) ? whole.at(s, i, k) : Record::sentinel());
}

}  // namespace

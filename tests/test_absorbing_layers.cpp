// The four-lane builds of the transfer-matrix entry points for absorbing
// layers: accuracy against the long-double reference and the C-library
// kernels, the edge cases of the vector formulas, the wavelengths they hand
// back to the C-library kernels, independence of range, block and thread
// count, and the fallback builds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "cpu/dispatch.hpp"
#include "engine_calls.hpp"
#include "interface/exports.hpp"
#include "reference.hpp"

using calls::cplx;
using calls::filled;
using calls::mat;
using calls::PoolGuard;

namespace {

// ---- coatings

// Layers with extinction up to kmax whose |Im delta| stays below b_max at
// every wavelength, and below b_total summed over the stack (so that no
// entry overflows). Thicknesses 10 to 150: the rounding of the phase
// thicknesses alone, which every double path shares, moves the entries by
// about 1e-16 times the phase summed over the stack, relative to the
// largest (`thin` scales the thicknesses down further for long stacks).
ref::Coating absorbing(int N, int K, unsigned seed, double x, double kmax, double b_max = 40.0,
                       double b_total = 400.0, double thin = 0.5) {
    ref::Coating c = ref::random_coating(N, K, seed, x, kmax);
    for (double& d : c.thicknesses) d *= thin;
    const double b_layer = std::min(b_max, b_total / K);
    for (int j = 0; j < K; ++j) {
        double b = 0.0;
        for (int i = 0; i < N; ++i) {
            const cplx q = std::sqrt(c.n(j, i) * c.n(j, i) - x * x);
            b = std::max(b, 2 * M_PI * c.thicknesses[j] * std::abs(q.imag()) / c.wavelengths[i]);
        }
        if (b > b_layer) c.thicknesses[j] *= b_layer / b;
    }
    return c;
}

// The first N wavelengths of a coating.
ref::Coating first(const ref::Coating& c, int N) {
    ref::Coating s = c;
    s.N = N;
    s.wavelengths.resize(N);
    s.substrate.resize(N);
    s.indices.clear(), s.admittances.clear();
    for (int j = 0; j < c.K; ++j)
        for (int i = 0; i < N; ++i) s.indices.push_back(c.n(j, i)), s.admittances.push_back(c.eta(j, i));
    s.refresh_rows();
    return s;
}

// ---- every output of the four entry points, and of the C-library kernels

struct Outputs {
    std::vector<cplx> M, F, P, B, L, dM;
    calls::Records top, top_base;
    std::vector<cplx> base;  // stack matrix of the lower half, for d0 = K/2
    explicit Outputs(const ref::Coating& c)
        : M(filled(4 * c.N)), F(filled(4 * c.N)), P(filled(4 * c.N)), B(filled(4 * c.N)),
          L(filled(4 * size_t(c.K) * c.N)), dM(filled(4 * size_t(c.K) * c.N)), top(c.N, c.K),
          top_base(c.N, c.K - c.K / 2) {}
};

std::vector<cplx> lower_half(const ref::Coating& c) {
    ref::Coating lower = c;
    lower.K = c.K / 2;
    auto base = filled(4 * c.N);
    EXPECT_EQ(calls::calc_M(lower, base), 0);
    return base;
}

Outputs entry_points(const ref::Coating& c) {
    Outputs o(c);
    EXPECT_EQ(calls::calc_M(c, o.M), 0);
    EXPECT_EQ(calls::forward(c, o.F, o.P), 0);
    EXPECT_EQ(calls::forward_backward(c, o.B, o.L, o.dM), 0);
    EXPECT_EQ(calls::update_top_props(c, 0, {}, o.top, true), 0);
    o.base = lower_half(c);
    EXPECT_EQ(calls::update_top_props(c, c.K / 2, o.base, o.top_base, true), 0);
    return o;
}

Outputs library_kernels(const ref::Coating& c, const std::vector<cplx>& base) {
    Outputs o(c);
    const int N = c.N, K = c.K;
    ref::Coating& m = const_cast<ref::Coating&>(c);  // the views are over mutable elements
    const OneDArray<double> wl{N, m.wavelengths.data()}, d{K, m.thicknesses.data()};
    const TwoDArray<cplx> n{K, N, m.indices.data()}, eta{K, N, m.admittances.data()};
    const OneDArray<cplx> es{N, m.substrate.data()};
    const ThreeDArray<cplx> M{2, 2, N, o.M.data()}, F{2, 2, N, o.F.data()}, P{2, 2, N, o.P.data()};
    const ThreeDArray<cplx> B{2, 2, N, o.B.data()}, Bm{2, 2, N, const_cast<cplx*>(base.data())};
    const FourDArray<cplx> L{K, 2, 2, N, o.L.data()}, dM{K, 2, 2, N, o.dM.data()};
    calc_M_(0, N, K, wl, d, c.index_rows.data(), c.admittance_rows.data(), c.x, M);
    forward_(0, N, K, wl, d, n, eta, c.x, F, P);
    forward_backward_(0, N, K, wl, d, n, eta, c.x, B, L, dM);
    const auto records = [](calls::Records& r) { return reinterpret_cast<cplx* const* const*>(r.table.data()); };
    update_top_props_(0, N, N, K, wl, d, c.index_rows.data(), c.admittance_rows.data(), c.eta0, es, c.x, Bm, 0,
                      records(o.top), true);
    o.base = base;
    update_top_props_(0, N, N, K, wl, d, c.index_rows.data(), c.admittance_rows.data(), c.eta0, es, c.x, Bm, K / 2,
                      records(o.top_base), true);
    return o;
}

// Whether wavelength i of a matrix stack of `layers` layers is the same bit pattern.
bool same_column(const std::vector<cplx>& a, const std::vector<cplx>& b, int N, int i) {
    for (size_t e = 0; e < a.size() / N; ++e)
        if (std::memcmp(&a[e * N + i], &b[e * N + i], sizeof(cplx)) != 0) return false;
    return true;
}
bool same_column(const calls::Records& a, const calls::Records& b, int N, int i) {
    for (int m = 0; m < a.count; ++m)
        for (int s = 0; s < 7; ++s)
            if (!same_column(a.slot(m, s), b.slot(m, s), N, i)) return false;
    return true;
}
// Every output of wavelength i.
bool same_wavelength(const Outputs& a, const Outputs& b, int N, int i) {
    return same_column(a.M, b.M, N, i) && same_column(a.F, b.F, N, i) && same_column(a.P, b.P, N, i) &&
           same_column(a.B, b.B, N, i) && same_column(a.L, b.L, N, i) && same_column(a.dM, b.dM, N, i) &&
           same_column(a.top, b.top, N, i) && same_column(a.top_base, b.top_base, N, i);
}

// ---- accuracy

constexpr long double bound = 2e-14L;

// Matrices against the reference; coefficient records against the
// reference's, t, t', r, r' relative to the largest of their record, each
// derivative relative to the size of the terms it sums (a change deep
// under an absorbing layer is a small difference of large terms in any
// arithmetic).
struct DerivativeScales {
    long double t, r, rb;
};
DerivativeScales derivative_scales(const ref::Coefficients& c, const ref::Mat2& X, ref::lcplx eta0, ref::lcplx es) {
    const auto a = [](ref::lcplx z) { return std::abs(z); };
    const ref::lcplx P = eta0 * es, one(1.0L);
    const long double D = a(eta0) * a(X.m[0][0]) + a(es) * a(X.m[1][1]) + a(P) * a(X.m[0][1]) + a(X.m[1][0]);
    return {a(c.t * c.t / (2.0L * eta0)) * D,
            a(c.t / (2.0L * eta0)) * (a(eta0 * (one - c.r)) * a(X.m[0][0]) + a((one + c.r) * es) * a(X.m[1][1]) +
                                      a(P * (one - c.r)) * a(X.m[0][1]) + a(one + c.r) * a(X.m[1][0])),
            a(c.tb / (2.0L * es)) * (a(es * (one - c.rb)) * a(X.m[1][1]) + a(eta0 * (one + c.rb)) * a(X.m[0][0]) +
                                     a(P * (one - c.rb)) * a(X.m[0][1]) + a(one + c.rb) * a(X.m[1][0]))};
}

void expect_accurate(const ref::Coating& c, const Outputs& o, const char* what) {
    const int N = c.N, K = c.K;
    for (int i = 0; i < N; ++i) {
        const ref::Mat2 M = c.stack(i, 0, K);
        EXPECT_LT(ref::relative_difference(mat(o.M, N, i), M), bound) << what << " calc_M K=" << K << " i=" << i;
        EXPECT_LT(ref::relative_difference(mat(o.F, N, i), M), bound) << what << " forward";
        EXPECT_LT(ref::relative_difference(mat(o.B, N, i), M), bound) << what << " forward_backward";
        EXPECT_LT(ref::relative_difference(mat(o.P, N, i), c.stack(i, 0, K - 1)), bound) << what << " partial";
        for (int j = 0; j < K; ++j) {
            EXPECT_LT(ref::relative_difference(mat(o.L, N, i, j), c.stack(i, j, j + 1)), bound) << what;
            EXPECT_LT(ref::relative_difference(mat(o.dM, N, i, j), c.stack_derivative(i, 0, K, j)), bound)
                << what << " dM layer " << j << " i=" << i;
        }
        for (const auto& [records, d0] : {std::pair{&o.top, 0}, std::pair{&o.top_base, K / 2}}) {
            ref::Mat2 Mj = d0 == 0 ? ref::Mat2::identity() : c.stack(i, 0, d0);
            std::vector<ref::Mat2> X;  // dM/dd_k of the partial coating, carried up
            for (int j = d0; j < K; ++j) {
                const ref::Mat2 Lj = c.stack(i, j, j + 1);
                for (ref::Mat2& Xk : X) Xk = Lj * Xk;
                X.push_back(ref::layer_derivative(c.n(j, i), c.eta(j, i), c.thicknesses[j], c.wavelengths[i], c.x) * Mj);
                Mj = Lj * Mj;
                const ref::Coefficients want = ref::coefficients(Mj, c.eta0, c.substrate[i]);
                const ref::lcplx w[4] = {want.t, want.tb, want.r, want.rb};
                long double scale = 0.0L;
                for (const auto& v : w) scale = std::max(scale, std::abs(v));
                for (int s = 0; s < 4; ++s)
                    EXPECT_LT(std::abs(ref::lcplx(records->value(j - d0, s, i)) - w[s]) / scale, bound)
                        << what << " slot " << s << " record " << j << " i=" << i;
                for (int k = d0; k <= j; ++k) {
                    const ref::Coefficients dw = ref::coefficient_derivatives(Mj, X[k - d0], c.eta0, c.substrate[i]);
                    const DerivativeScales sc = derivative_scales(want, X[k - d0], c.eta0, c.substrate[i]);
                    const ref::lcplx dv[3] = {dw.t, dw.r, dw.rb};
                    const long double dscale[3] = {sc.t, sc.r, sc.rb};
                    for (int s = 0; s < 3; ++s)
                        EXPECT_LT(std::abs(ref::lcplx(records->value(j - d0, 4 + s, i, k - d0)) - dv[s]) / dscale[s],
                                  bound)
                            << what << " slot " << 4 + s << " record " << j << " layer " << k << " i=" << i;
                }
            }
        }
    }
}

TEST(AbsorbingLayers, AgreeWithTheReferenceAsTheLibraryKernelsDo) {
    PoolGuard threads(2);
    for (const auto& [K, kmax, x] : {std::tuple{1, 5.0, 0.0}, std::tuple{3, 2.0, 0.9}, std::tuple{48, 5.0, 0.6},
                                     std::tuple{200, 1.0, 0.4}}) {
        const ref::Coating c = absorbing(K == 200 ? 5 : 23, K, 40 + K, x, kmax, 40.0, 400.0, K == 200 ? 0.2 : 0.5);
        const Outputs vec = entry_points(c);
        expect_accurate(c, vec, "four-lane");
        expect_accurate(c, library_kernels(c, vec.base), "C library");
        EXPECT_TRUE(calls::bitwise_equal(vec.M, vec.F)) << "calc_M and forward differ, K=" << K;
    }
}

TEST(AbsorbingLayers, DeterminantIsOneRelativeToTheEntries) {
    const ref::Coating c = absorbing(64, 30, 8, 0.7, 3.0);
    auto M = filled(4 * c.N);
    ASSERT_EQ(calls::calc_M(c, M), 0);
    for (int i = 0; i < c.N; ++i) {
        const ref::Mat2 m = mat(M, c.N, i);
        long double scale = 0.0L;
        for (const auto& row : m.m)
            for (const auto& e : row) scale = std::max(scale, std::norm(e));
        EXPECT_LT(std::abs(m.m[0][0] * m.m[1][1] - m.m[0][1] * m.m[1][0] - 1.0L) / scale, bound) << i;
    }
}

// ---- edge cases of the vector formulas

// The absorption of a weakly absorbing layer survives: Im cos(delta) =
// -sin a sinh b carries Im q to a few ulp, relative to itself.
TEST(AbsorbingLayers, WeakAbsorptionKeepsItsRelativeAccuracy) {
    for (double k : {1e-8, 1e-6, 1e-4, 1e-3}) {
        ref::Coating c = ref::random_coating(9, 1, 3, 0.5, 0.0);
        for (int i = 0; i < c.N; ++i) c.indices[i] = cplx(c.indices[i].real(), -k);
        // Re delta between 0.5 and 1.1, where sin a passes on little of the
        // phase's own rounding.
        c.thicknesses[0] = 0.5 * 400.0 / (2 * M_PI * c.indices[0].real());
        const Outputs o = entry_points(c);
        for (int i = 0; i < c.N; ++i) {
            const long double want = c.stack(i, 0, 1).m[0][0].imag();
            EXPECT_LT(std::abs(o.M[i].imag() - want) / std::abs(want), 16 * 1.1e-16L) << "k=" << k << " i=" << i;
        }
    }
}

// x above a real index: q on the imaginary axis, its sign from the sign of
// the index's zero imaginary part, in every output.
TEST(AbsorbingLayers, SignedZeroBelowTheInvariantPicksTheBranch) {
    for (double zero : {0.0, -0.0}) {
        ref::Coating c = ref::random_coating(7, 2, 5, 1.5, 0.0);
        for (auto& n : c.indices) n = cplx(1.2, zero);
        const Outputs vec = entry_points(c), lib = library_kernels(c, vec.base);
        for (int i = 0; i < c.N; ++i) {
            EXPECT_LT(ref::relative_difference(mat(vec.M, c.N, i), mat(lib.M, c.N, i)), bound) << zero;
            EXPECT_LT(ref::relative_difference(mat(vec.dM, c.N, i, 1), mat(lib.dM, c.N, i, 1)), bound) << zero;
            EXPECT_LT(ref::relative_difference(ref::lcplx(vec.top.value(1, 2, i)), ref::lcplx(lib.top.value(1, 2, i))),
                      bound);
        }
    }
}

TEST(AbsorbingLayers, ZeroThicknessAndQuarterWaveLayers) {
    ref::Coating c = absorbing(13, 3, 6, 0.0, 2.0);
    c.thicknesses[1] = 0.0;
    auto M = filled(4 * c.N), L = filled(12 * c.N), dM = filled(12 * c.N), B = filled(4 * c.N);
    ASSERT_EQ(calls::forward_backward(c, B, L, dM), 0);
    for (int i = 0; i < c.N; ++i) {
        EXPECT_EQ(calls::at(L, c.N, 0, 0, i, 1), cplx(1.0, 0.0));
        EXPECT_EQ(calls::at(L, c.N, 0, 1, i, 1), cplx(0.0, 0.0));
    }
    ref::Coating without = c;
    without.thicknesses.erase(without.thicknesses.begin() + 1);
    without.indices.erase(without.indices.begin() + c.N, without.indices.begin() + 2 * c.N);
    without.admittances.erase(without.admittances.begin() + c.N, without.admittances.begin() + 2 * c.N);
    without.K = 2;
    without.refresh_rows();
    auto W = filled(4 * c.N);
    ASSERT_EQ(calls::calc_M(c, M), 0);
    ASSERT_EQ(calls::calc_M(without, W), 0);
    EXPECT_TRUE(calls::bitwise_equal(M, W));

    // Real index, normal incidence, n d = lambda / 4: [[0, i/eta], [i eta, 0]].
    ref::Coating q = ref::random_coating(8, 1, 2, 0.0, 0.0);
    for (int i = 0; i < q.N; ++i) q.wavelengths[i] = 4.0 * q.thicknesses[0] * q.indices[i].real();
    auto Q = filled(4 * q.N);
    ASSERT_EQ(calls::calc_M(q, Q), 0);
    for (int i = 0; i < q.N; ++i) {
        EXPECT_LT(std::abs(calls::at(Q, q.N, 0, 0, i)), 1e-15);
        EXPECT_LT(std::abs(calls::at(Q, q.N, 0, 1, i) - cplx(0.0, 1.0) / q.eta(0, i)), 1e-15);
        EXPECT_LT(std::abs(calls::at(Q, q.N, 1, 0, i) - cplx(0.0, 1.0) * q.eta(0, i)), 1e-15);
    }
}

// ---- wavelengths the vector formulas hand back

// One unusual value at one wavelength: that wavelength gets exactly the
// C-library kernels' results, every other one exactly what it gets without
// the unusual value.
TEST(AbsorbingLayers, SpecialWavelengthsGetTheLibraryResultAndLeaveTheirBlockAlone) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const ref::Coating plain = absorbing(11, 4, 12, 0.5, 1.0);
    const int at = 5;
    struct Case {
        const char* what;
        void (*spoil)(ref::Coating&, int, double);
        double value;
        bool coefficients_only = false;
    };
    const Case cases[] = {
        {"NaN index", [](ref::Coating& c, int i, double v) { c.indices[2 * c.N + i] = cplx(v, -0.1); }, nan},
        {"infinite index", [](ref::Coating& c, int i, double v) { c.indices[c.N + i] = cplx(2.0, -v); }, inf},
        {"infinite admittance", [](ref::Coating& c, int i, double v) { c.admittances[i] = cplx(v, 0.0); }, inf},
        {"zero admittance", [](ref::Coating& c, int i, double v) { c.admittances[3 * c.N + i] = cplx(v, v); }, 0.0},
        {"zero wavelength", [](ref::Coating& c, int i, double v) { c.wavelengths[i] = v; }, 0.0},
        {"infinite wavelength", [](ref::Coating& c, int i, double v) { c.wavelengths[i] = v; }, inf},
        {"NaN wavelength", [](ref::Coating& c, int i, double v) { c.wavelengths[i] = v; }, nan},
        {"phase beyond the sine's range", [](ref::Coating& c, int i, double v) { c.wavelengths[i] = v; }, 1e-3},
        {"absorption beyond the exponential's range",
         [](ref::Coating& c, int i, double v) { c.indices[i] = cplx(1.5, -v); }, 1e3},
        {"zero substrate admittance", [](ref::Coating& c, int i, double v) { c.substrate[i] = cplx(v, 0.0); }, 0.0,
         true},
        {"tiny admittance", [](ref::Coating& c, int i, double v) { c.admittances[3 * c.N + i] = cplx(v, 0.0); }, 1e-160},
    };
    const Outputs clean = entry_points(plain);
    for (const Case& k : cases) {
        ref::Coating c = plain;
        k.spoil(c, at, k.value);
        c.refresh_rows();
        const Outputs vec = entry_points(c), lib = library_kernels(c, vec.base);
        if (k.coefficients_only)
            EXPECT_TRUE(same_column(vec.top, lib.top, c.N, at) && same_column(vec.top_base, lib.top_base, c.N, at))
                << k.what;
        else
            EXPECT_TRUE(same_wavelength(vec, lib, c.N, at)) << k.what;
        for (int i = 0; i < c.N; ++i)
            if (i != at) {
                EXPECT_TRUE(same_wavelength(vec, clean, c.N, i)) << k.what << ", wavelength " << i;
            }
    }
    // A thickness or an x that is not finite concerns every wavelength.
    for (double v : {nan, inf}) {
        ref::Coating c = plain;
        c.thicknesses[1] = v;
        const Outputs vec = entry_points(c), lib = library_kernels(c, vec.base);
        for (int i = 0; i < c.N; ++i) EXPECT_TRUE(same_wavelength(vec, lib, c.N, i)) << "thickness " << v;
        c = plain;
        c.x = v;
        const Outputs vx = entry_points(c), lx = library_kernels(c, vx.base);
        for (int i = 0; i < c.N; ++i) EXPECT_TRUE(same_wavelength(vx, lx, c.N, i)) << "x " << v;
    }
}

// ---- independence of range, block and thread count

TEST(AbsorbingLayers, EveryWavelengthIsTheSameWhateverRangeAndThreadsComputeIt) {
    const ref::Coating whole = absorbing(300, 3, 21, 0.6, 2.0);
    init(1);
    const Outputs want = entry_points(whole);
    for (int threads = 1; threads <= 8; ++threads) {
        PoolGuard pool(threads);
        for (int N = 1; N <= 300; N += (threads == 1 || threads == 3 ? 1 : 7)) {
            const ref::Coating c = first(whole, N);
            const Outputs got = entry_points(c);
            for (int i = 0; i < N; ++i) {
                bool same = true;
                for (int e = 0; e < 4; ++e)
                    same = same && std::memcmp(&got.M[e * N + i], &want.M[e * whole.N + i], 16) == 0 &&
                           std::memcmp(&got.P[e * N + i], &want.P[e * whole.N + i], 16) == 0 &&
                           std::memcmp(&got.B[e * N + i], &want.B[e * whole.N + i], 16) == 0;
                for (int j = 0; j < whole.K; ++j)
                    for (int e = 0; e < 4; ++e)
                        same = same && std::memcmp(&got.dM[(4 * j + e) * N + i], &want.dM[(4 * j + e) * whole.N + i], 16) == 0;
                for (int m = 0; m < whole.K; ++m)
                    for (int s = 0; s < 7; ++s)
                        for (int k = 0; k < (s < 4 ? 1 : m + 1); ++k)
                            same = same && got.top.value(m, s, i, k) == want.top.value(m, s, i, k);
                ASSERT_TRUE(same) << "N=" << N << " threads=" << threads << " wavelength " << i;
            }
        }
    }
}

// ---- large and unaligned outputs

// Row by row, the first N_small elements of each row of `big` (rows of
// N_big) against `small`.
bool same_prefix(const std::vector<cplx>& big, int N_big, const std::vector<cplx>& small, int N_small) {
    for (size_t r = 0; r < small.size() / N_small; ++r)
        if (std::memcmp(&big[r * N_big], &small[r * N_small], sizeof(cplx) * N_small) != 0) return false;
    return true;
}

// A buffer of n complex values at an address 8 bytes past a 16-byte boundary.
struct Unaligned {
    std::vector<double> parts;
    explicit Unaligned(size_t n) : parts(2 * n + 1, -1.0) {}
    cplx* data() { return reinterpret_cast<cplx*>(parts.data() + 1); }
    std::vector<cplx> values() const {
        std::vector<cplx> v(parts.size() / 2);
        std::memcpy(static_cast<void*>(v.data()), parts.data() + 1, sizeof(cplx) * v.size());
        return v;
    }
};

// Outputs of megabytes go out by non-temporal stores, small ones and
// arrays off a 16-byte boundary by ordinary ones: none of that changes a bit.
TEST(AbsorbingLayers, LargeAndUnalignedOutputsHoldTheSameBits) {
    PoolGuard threads(1);
    const ref::Coating whole = absorbing(520, 40, 31, 0.6, 2.0), small = first(whole, 40);
    const int N = whole.N, K = whole.K;

    // Forward-backward: 2.7 MB of layer matrices and derivatives.
    auto M = filled(4 * N), L = filled(4 * size_t(K) * N), dM = filled(4 * size_t(K) * N);
    ASSERT_EQ(calls::forward_backward(whole, M, L, dM), 0);
    auto m = filled(4 * small.N), l = filled(4 * size_t(K) * small.N), dm = filled(4 * size_t(K) * small.N);
    ASSERT_EQ(calls::forward_backward(small, m, l, dm), 0);
    EXPECT_TRUE(same_prefix(M, N, m, small.N) && same_prefix(L, N, l, small.N) && same_prefix(dM, N, dm, small.N));
    Unaligned uM(4 * N), uL(4 * size_t(K) * N), udM(4 * size_t(K) * N);
    ASSERT_EQ(::forward_backward(N, K, whole.wavelengths.data(), whole.thicknesses.data(),
                                 calls::sc(whole.indices.data()), calls::sc(whole.admittances.data()), whole.x,
                                 calls::sc(uM.data()), calls::sc(uL.data()), calls::sc(udM.data())),
              0);
    EXPECT_TRUE(calls::bitwise_equal(uM.values(), M) && calls::bitwise_equal(uL.values(), L) &&
                calls::bitwise_equal(udM.values(), dM));

    // Partial coatings with derivatives: 22 MB of records.
    calls::Records big(N, K), little(small.N, K), off(N, K);
    std::vector<Unaligned> buffers;
    for (calls::Record& r : off.records)
        for (int s = 0; s < 7; ++s) buffers.emplace_back(r.slots[s].size());
    for (size_t b = 0; b < buffers.size(); ++b) off.records[b / 7].pointers[b % 7] = buffers[b].data();
    ASSERT_EQ(calls::update_top_props(whole, 0, {}, big, true), 0);
    ASSERT_EQ(calls::update_top_props(small, 0, {}, little, true), 0);
    ASSERT_EQ(calls::update_top_props(whole, 0, {}, off, true), 0);
    for (int r = 0; r < K; ++r)
        for (int s = 0; s < 7; ++s) {
            EXPECT_TRUE(same_prefix(big.slot(r, s), N, little.slot(r, s), small.N)) << "record " << r << " slot " << s;
            EXPECT_TRUE(calls::bitwise_equal(buffers[7 * r + s].values(), big.slot(r, s)))
                << "record " << r << " slot " << s;
        }
}

// ---- the fallback builds

TEST(AbsorbingLayers, BaselineBuildsGiveTheLibraryKernelsResultsExactly) {
    sardune::testing::use_baseline_builds(true);
    for (int threads : {1, 3}) {
        PoolGuard pool(threads);
        for (const auto& [K, kmax] : {std::pair{1, 0.0}, std::pair{6, 3.0}, std::pair{20, 0.5}}) {
            ref::Coating c = absorbing(37, K, 70 + K, 0.8, kmax);
            c.admittances[5] = 0.0;  // a special value stays the library's too
            c.refresh_rows();
            const Outputs got = entry_points(c), want = library_kernels(c, got.base);
            for (int i = 0; i < c.N; ++i) EXPECT_TRUE(same_wavelength(got, want, c.N, i)) << "K=" << K << " i=" << i;
        }
    }
    sardune::testing::use_baseline_builds(false);
}

}  // namespace

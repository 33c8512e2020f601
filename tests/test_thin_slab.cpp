// Thin-slab variations: both builds and the dispatcher against a
// double-precision evaluation of the definition, the read/write rules, small
// and large N, and a physical check by actually inserting a slab.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "alloc_fault.hpp"
#include "cpu/dispatch.hpp"
#include "cpu_flags.hpp"
#include "interface/exports.hpp"
#include "sardune.h"
#include "thin_slab_reference.hpp"

namespace {

using namespace slab;
using Entry = int (*)(SARDUNE_CALC_V_T_TAU_PARAMS);

struct Build {
    const char* name;
    Entry fn;
};
// The builds this processor can run: the AVX2 build only with AVX2 and FMA3
// (ThinSlab.Avx2BuildRunsHere says when it is left out).
std::vector<Build> builds_here() {
    std::vector<Build> b = {{"sse", calc_v_t_tau_sse}, {"dispatch", calc_v_t_tau}};
    if (sardune::cpu_has_avx2_fma()) b.push_back({"avx", calc_v_t_tau_avx});
    return b;
}
const std::vector<Build> kBuilds = builds_here();

TEST(ThinSlab, Avx2BuildRunsHere) {
    if (!sardune::cpu_has_avx2_fma()) GTEST_SKIP() << "this processor lacks AVX2 and FMA3: only the SSE2 build is tested";
    EXPECT_EQ(kBuilds.size(), 3u);
}

const sardune_complex* sc(const std::vector<C>& v) {
    return v.empty() ? nullptr : reinterpret_cast<const sardune_complex*>(v.data());
}
sardune_complex* sc(std::vector<C>* v) {
    return v ? reinterpret_cast<sardune_complex*>(v->data()) : nullptr;
}

// Calls a build; outputs are sized n_z*N plus a guard that must stay untouched.
constexpr size_t kGuard = 9;
const C kSentinel(1234.5, -678.25);
int call(Entry fn, const Case& c, std::vector<C>* dt, std::vector<C>* dr, std::vector<C>* drb) {
    for (auto* v : {dt, dr, drb})
        if (v) v->assign(size_t(c.nz) * c.N + kGuard, kSentinel);
    return fn(c.N, c.nz, c.hasP ? sc(c.P) : nullptr, c.hasQ ? sc(c.Q) : nullptr, sc(c.nh), sc(c.eh),
              c.x, sc(c.na), c.z.empty() ? nullptr : c.z.data(), sc(c.ea), c.wl.data(),
              reinterpret_cast<const sardune_complex*>(&c.e0), sc(c.es), sc(c.t),
              drb ? sc(c.tb) : nullptr, dr ? sc(c.r) : nullptr, drb ? sc(c.rb) : nullptr, sc(dt),
              sc(dr), sc(drb));
}

void expect_guard(const std::vector<C>& v, size_t n) {
    for (size_t k = n; k < v.size(); ++k) ASSERT_EQ(v[k], kSentinel) << "written past the end at " << k;
}

// Largest error per wavelength relative to that wavelength's largest
// reference value over positions and outputs.
double worst_error(const Case& c, const std::vector<C>* got[3], const std::vector<C>* want[3]) {
    double worst = 0;
    for (size_t j = 0; j < c.N; ++j) {
        double scale = 0;
        for (int o = 0; o < 3; ++o)
            for (size_t i = 0; i < c.nz; ++i) scale = std::max(scale, std::abs((*want[o])[i * c.N + j]));
        for (int o = 0; o < 3; ++o)
            for (size_t i = 0; i < c.nz; ++i) {
                double e = std::abs((*got[o])[i * c.N + j] - (*want[o])[i * c.N + j]) / scale;
                if (!(e <= worst)) worst = e;  // NaN sticks
            }
    }
    return worst;
}

// Single precision with cancellation between the generator's two terms and
// inside the coefficient formulas.
constexpr double kTol = 1e-5;

void check_against_reference(const Case& c) {
    std::vector<C> rt, rr, rrb;
    reference(c, rt, rr, rrb);
    for (const Build& b : kBuilds) {
        std::vector<C> dt, dr, drb;
        ASSERT_EQ(call(b.fn, c, &dt, &dr, &drb), SARDUNE_OK);
        size_t n = size_t(c.nz) * c.N;
        expect_guard(dt, n), expect_guard(dr, n), expect_guard(drb, n);
        const std::vector<C>* got[3] = {&dt, &dr, &drb};
        const std::vector<C>* want[3] = {&rt, &rr, &rrb};
        EXPECT_LE(worst_error(c, got, want), kTol)
            << b.name << " N=" << c.N << " nz=" << c.nz << " P=" << c.hasP << " Q=" << c.hasQ;
    }
}

TEST(ThinSlab, MatchesDefinitionForEveryNAndMatrixCombination) {
    for (uint32_t N = 1; N <= 40; ++N)
        for (int pq = 0; pq < 4; ++pq) check_against_reference(make_case(N, 6, N * 7 + pq, pq & 1, pq & 2));
    for (uint32_t N : {100u, 1000u, 1027u}) check_against_reference(make_case(N, 9, N));
}

// Weakly absorbing host and slab materials: the small imaginary part of the
// normal component must survive the single-precision square root, or the
// variations are off by up to ~Im(n) of their scale.
TEST(ThinSlab, WeaklyAbsorbingMaterialsMatchTheDefinition) {
    for (double k : {1e-6, 1e-5, 1e-4, 3e-4, 1e-3, 1e-2, 1e-1})
        for (int absorbing = 0; absorbing < 3; ++absorbing) {  // host, slab, both
            Case c = make_case(24, 7, 40 + absorbing);
            for (uint32_t j = 0; j < c.N; ++j) {
                if (absorbing != 1) c.nh[j] = C(c.nh[j].real(), k), c.eh[j] = q_of(c.nh[j], c.x);
                if (absorbing != 0) c.na[j] = C(c.na[j].real(), k), c.ea[j] = q_of(c.na[j], c.x);
            }
            SCOPED_TRACE(::testing::Message() << "k " << k << " absorbing " << absorbing);
            check_against_reference(c);
        }
}

TEST(ThinSlab, SinglePositionAndBoundaries) {
    // n_z = 1: t1 = t2 = 0, G = P * Delta * Q.
    for (uint32_t N : {3u, 8u, 13u}) check_against_reference(make_case(N, 1, N));
    // two positions: each is a boundary, one with t1 = 0, the other with t2 = 0
    check_against_reference(make_case(21, 2, 5));
}

TEST(ThinSlab, LargeNOverManyTiles) {
    const uint32_t N = 1u << 20;
    Case c = make_case(N, 2, 77);
    // reference on a sample of wavelengths (including the last block)
    Case s = c;
    std::vector<uint32_t> pick;
    for (uint32_t j = 0; j < N; j += 65537) pick.push_back(j);
    for (uint32_t j = N - 9; j < N; ++j) pick.push_back(j);
    s.N = uint32_t(pick.size());
    auto sub = [&](const std::vector<C>& v, int planes) {
        std::vector<C> o;
        for (int p = 0; p < planes; ++p)
            for (uint32_t j : pick) o.push_back(v[size_t(p) * N + j]);
        return o;
    };
    s.nh = sub(c.nh, 1), s.eh = sub(c.eh, 1), s.na = sub(c.na, 1), s.ea = sub(c.ea, 1);
    s.es = sub(c.es, 1), s.t = sub(c.t, 1), s.tb = sub(c.tb, 1), s.r = sub(c.r, 1), s.rb = sub(c.rb, 1);
    s.P = sub(c.P, 4), s.Q = sub(c.Q, 4);
    s.wl.clear();
    for (uint32_t j : pick) s.wl.push_back(c.wl[j]);
    std::vector<C> rt, rr, rrb;
    reference(s, rt, rr, rrb);
    for (const Build& b : kBuilds) {
        std::vector<C> dt;
        ASSERT_EQ(call(b.fn, c, &dt, nullptr, nullptr), SARDUNE_OK);
        expect_guard(dt, size_t(2) * N);
        for (size_t i = 0; i < 2; ++i)
            for (size_t k = 0; k < pick.size(); ++k) {
                C want = rt[i * s.N + k], got = dt[i * N + pick[k]];
                EXPECT_LE(std::abs(got - want), 1e-4 * std::abs(want) + 1e-9) << b.name << " j=" << pick[k];
            }
    }
}

// The scratch lives on the stack, one tile at a time: no request, however
// many wavelengths, allocates, so none can run out of memory.
TEST(ThinSlab, NothingIsAllocatedWhateverN) {
    for (uint32_t N : {3u, 600u, 5000u}) {
        const Case c = make_case(N, 3, N);
        for (const Build& b : kBuilds) {
            std::vector<C> want, got(c.nz * c.N + kGuard);
            ASSERT_EQ(call(b.fn, c, &want, nullptr, nullptr), SARDUNE_OK);
            alloc_fault::Scope fail(0);
            EXPECT_EQ(b.fn(c.N, c.nz, sc(c.P), sc(c.Q), sc(c.nh), sc(c.eh), c.x, sc(c.na), c.z.data(), sc(c.ea),
                           c.wl.data(), reinterpret_cast<const sardune_complex*>(&c.e0), sc(c.es), sc(c.t),
                           nullptr, nullptr, nullptr, sc(&got), nullptr, nullptr),
                      SARDUNE_OK)
                << b.name << " " << N;
            EXPECT_EQ(alloc_fault::failures(), 0) << b.name << " " << N;
            EXPECT_EQ(0, std::memcmp(got.data(), want.data(), c.nz * c.N * sizeof(C))) << b.name << " " << N;
        }
    }
}

TEST(ThinSlab, OutputSubsetsAndWhatIsRead) {
    for (uint32_t N : {5u, 13u}) {
        Case c = make_case(N, 4, N);
        for (const Build& b : kBuilds) {
            std::vector<C> ft, fr, frb;
            ASSERT_EQ(call(b.fn, c, &ft, &fr, &frb), SARDUNE_OK);
            for (int mask = 0; mask < 8; ++mask) {
                // r is passed only with dr, t' and r' only with dr' (call() does so)
                std::vector<C> dt, dr, drb;
                ASSERT_EQ(call(b.fn, c, mask & 1 ? &dt : nullptr, mask & 2 ? &dr : nullptr,
                               mask & 4 ? &drb : nullptr),
                          SARDUNE_OK);
                // bitwise the same as with every output present
                if (mask & 1) {
                    EXPECT_EQ(0, std::memcmp(dt.data(), ft.data(), ft.size() * sizeof(C))) << b.name;
                }
                if (mask & 2) {
                    EXPECT_EQ(0, std::memcmp(dr.data(), fr.data(), fr.size() * sizeof(C))) << b.name;
                }
                if (mask & 4) {
                    EXPECT_EQ(0, std::memcmp(drb.data(), frb.data(), frb.size() * sizeof(C))) << b.name;
                }
            }
        }
    }
}

TEST(ThinSlab, EmptyRequests) {
    const C e0(1.0, 0.0);
    for (const Build& b : kBuilds) {
        // N = 0: only the incident admittance is read.
        EXPECT_EQ(b.fn(0, 5, nullptr, nullptr, nullptr, nullptr, 0.3, nullptr, nullptr, nullptr, nullptr,
                       reinterpret_cast<const sardune_complex*>(&e0), nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr),
                  SARDUNE_OK);
        // n_z = 0: positions, t, eta_s, r... are not read, nothing is written.
        for (uint32_t N : {3u, 12u}) {
            Case c = make_case(N, 0, 3);
            std::vector<C> out(N + kGuard, kSentinel);
            EXPECT_EQ(b.fn(N, 0, sc(c.P), sc(c.Q), sc(c.nh), sc(c.eh), c.x, sc(c.na), nullptr, sc(c.ea),
                           c.wl.data(), reinterpret_cast<const sardune_complex*>(&c.e0), nullptr, nullptr,
                           nullptr, nullptr, nullptr, sc(&out), sc(&out), sc(&out)),
                      SARDUNE_OK);
            for (const C& v : out) EXPECT_EQ(v, kSentinel);
        }
    }
}

// A C caller's -1 for either count: rejected before any pointer is used
// (all are null here, the incident admittance included).
TEST(ThinSlab, CountsBeyondInt32MaxAreRejectedBeforeAnythingIsRead) {
    const uint32_t too_large[] = {uint32_t(-1), uint32_t(INT32_MAX) + 1, uint32_t(-1000)};
    for (Entry fn : {calc_v_t_tau, calc_v_t_tau_sse, calc_v_t_tau_avx})
        for (uint32_t bad : too_large)
            for (int which = 0; which < 3; ++which) {
                const uint32_t N = which == 0 ? 8 : bad, n_z = which == 1 ? 3 : bad;
                EXPECT_EQ(fn(N, n_z, nullptr, nullptr, nullptr, nullptr, 0.3, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                          SARDUNE_ERR_INVALID_REQUEST)
                    << N << " " << n_z;
            }
}

TEST(ThinSlab, SlabOfHostMaterialGivesExactZero) {
    for (uint32_t N : {3u, 17u}) {
        Case c = make_case(N, 5, 11);
        c.na = c.nh, c.ea = c.eh;
        for (const Build& b : kBuilds) {
            std::vector<C> dt, dr, drb;
            ASSERT_EQ(call(b.fn, c, &dt, &dr, &drb), SARDUNE_OK);
            for (size_t k = 0; k < size_t(c.nz) * N; ++k) {
                EXPECT_EQ(dt[k], C(0.0)) << b.name;
                EXPECT_EQ(dr[k], C(0.0)) << b.name;
                EXPECT_EQ(drb[k], C(0.0)) << b.name;
            }
        }
    }
}

TEST(ThinSlab, DispatcherRunsTheBuildForThisProcessor) {
    Case c = make_case(29, 4, 9);
    const Entry chosen = cpu_flags::avx2_fma() ? calc_v_t_tau_avx : calc_v_t_tau_sse;
    std::vector<C> a, b, fallback;
    ASSERT_EQ(call(calc_v_t_tau, c, &a, nullptr, nullptr), SARDUNE_OK);
    ASSERT_EQ(call(chosen, c, &b, nullptr, nullptr), SARDUNE_OK);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(C)));
    // On the fallback path the entry point is the SSE2 build, bit for bit.
    sardune::testing::use_baseline_builds(true);
    for (uint32_t N : {1u, 5u, 8u, 29u, 100u}) {
        Case d = make_case(N, 4, N);
        std::vector<C> dt, dr, drb, st, sr, srb;
        EXPECT_EQ(call(calc_v_t_tau, d, &dt, &dr, &drb), SARDUNE_OK);
        EXPECT_EQ(call(calc_v_t_tau_sse, d, &st, &sr, &srb), SARDUNE_OK);
        EXPECT_TRUE(dt == st && dr == sr && drb == srb) << N;
    }
    sardune::testing::use_baseline_builds(false);
}

// x enters only through x^2, formed in double precision and rounded once:
// two angle invariants whose squares round to the same float give the same
// variations to the bit, although the invariants themselves round apart.
TEST(ThinSlab, AngleInvariantEntersOnlyAsItsRoundedSquare) {
    const double x1 = 1.5 + 1.2 * 0x1p-23, x2 = 1.5 + 1.6 * 0x1p-23;
    ASSERT_EQ(float(x1 * x1), float(x2 * x2));
    ASSERT_NE(float(x1), float(x2));
    for (const Build& b : kBuilds) {
        Case c = make_case(16, 5, 31);
        std::vector<C> d1, d2;
        c.x = x1;
        ASSERT_EQ(call(b.fn, c, &d1, nullptr, nullptr), SARDUNE_OK);
        c.x = x2;
        ASSERT_EQ(call(b.fn, c, &d2, nullptr, nullptr), SARDUNE_OK);
        EXPECT_EQ(0, std::memcmp(d1.data(), d2.data(), d1.size() * sizeof(C))) << b.name;
    }
}

TEST(ThinSlab, ConcurrentCallsAreIndependent) {
    Case c = make_case(37, 5, 13);
    std::vector<C> want;
    ASSERT_EQ(call(calc_v_t_tau, c, &want, nullptr, nullptr), SARDUNE_OK);
    std::vector<std::vector<C>> got(4);
    std::vector<std::thread> threads;
    for (auto& g : got)  // the last call of each thread goes through the dispatcher
        threads.emplace_back([&c, &g] {
            for (int k = 0; k < 20; ++k) call(k % 2 ? calc_v_t_tau : calc_v_t_tau_sse, c, &g, nullptr, nullptr);
        });
    for (auto& t : threads) t.join();
    for (auto& g : got) EXPECT_EQ(0, std::memcmp(g.data(), want.data(), want.size() * sizeof(C)));
}

TEST(ThinSlab, AgreesWithInsertingAThinSlab) {
    Case c = make_case(19, 5, 21);
    c.z = {0.0, 37.0, 80.0, 142.0, c.d};  // inside the host layer
    for (const Build& b : kBuilds) {
        std::vector<C> dt, dr, drb;
        ASSERT_EQ(call(b.fn, c, &dt, &dr, &drb), SARDUNE_OK);
        const double e = 1e-3;
        for (size_t j = 0; j < c.N; ++j)
            for (size_t i = 1; i + 1 < c.nz; ++i) {
                auto up = coefficients_with_slab(c, j, c.z[i], e), dn = coefficients_with_slab(c, j, c.z[i], -e);
                const std::vector<C>* got[3] = {&dt, &dr, &drb};
                for (int o = 0; o < 3; ++o) {
                    C fd = (up[o] - dn[o]) / (2 * e);
                    EXPECT_LE(std::abs((*got[o])[i * c.N + j] - fd), 1e-4 * std::abs(fd) + 1e-8)
                        << b.name << " output " << o << " j=" << j << " z=" << c.z[i];
                }
            }
    }
}

}  // namespace

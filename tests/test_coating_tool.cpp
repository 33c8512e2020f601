// The spectrum tool: its physics (energy conservation, sensitivities against
// the engine's partial-coating path and finite differences), its design
// files (the shared corpus and the finer points of the grammar), and its
// command line, run in-process (with every allocation failed in turn) and as
// a program.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "alloc_fault.hpp"
#include "design_file.hpp"
#include "model.hpp"
#include "sardune.h"
#include "text.hpp"
#include "tool.hpp"

namespace {

namespace fs = std::filesystem;
using spectrum::cplx;

std::string temp_path(const std::string& name) {
    // CTest runs the cases of this program in parallel processes.
    return ::testing::TempDir() + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + name;
}

std::string write_file(const std::string& name, const std::string& bytes) {
    const std::string path = temp_path(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

spectrum::Design design_of(const std::string& text, const std::string& source = "d.design") {
    spectrum::Design d = spectrum::empty_design();
    spectrum::parse_design(text, source, spectrum::FileKind::design, d);
    return d;
}

std::string design_error(const std::string& text, bool materials_only = false) {
    spectrum::Design d = spectrum::empty_design();
    try {
        spectrum::parse_design(text, "d.design", materials_only ? spectrum::FileKind::materials : spectrum::FileKind::design, d);
    } catch (const spectrum::InputError& e) {
        return e.what();
    }
    return "(accepted)";
}

cplx index_of(const spectrum::Design& d, const spectrum::Medium& l, double wavelength_nm) {
    return l.material < 0 ? cplx(l.n, -l.k) : spectrum::index_at(d.materials[l.material], wavelength_nm);
}

// ---------------------------------------------------------------- physics

// R, T and every dR/dd_k the way the tool computed them before it went
// linear in K: the engine's partial-coating records, whose last one is the
// whole coating.
struct Reference {
    std::vector<double> R, T;
    std::vector<std::vector<double>> dR;  // [wavelength][layer]
};

Reference by_partial_coatings(const spectrum::Setup& s) {
    const std::vector<double> wl = spectrum::wavelength_grid(s.from_nm, s.to_nm, s.step_nm);
    const int N = static_cast<int>(wl.size()), K = static_cast<int>(s.design.layers.size());
    const spectrum::Incidence in = spectrum::incidence(s.design.incident.n, s.angle_deg);
    std::vector<double> d;
    std::vector<std::vector<cplx>> n(K, std::vector<cplx>(N)), eta(K, std::vector<cplx>(N));
    for (int j = 0; j < K; ++j) {
        d.push_back(s.design.layers[j].thickness_nm);
        for (int i = 0; i < N; ++i) n[j][i] = index_of(s.design, s.design.layers[j], wl[i]);
    }
    Reference ref{std::vector<double>(N), std::vector<double>(N), std::vector<std::vector<double>>(N, std::vector<double>(K))};
    const std::string pols = s.polarisation == 'u' ? "sp" : std::string(1, s.polarisation);
    for (const char pol : pols) {
        const double weight = 1.0 / pols.size();
        const cplx eta0 = spectrum::incident_admittance(in, pol);
        const std::vector<cplx> substrate(N, spectrum::admittance(index_of(s.design, s.design.substrate, 0), in, pol));
        std::vector<const sardune_complex*> n_rows, eta_rows;
        for (int j = 0; j < K; ++j) {
            for (int i = 0; i < N; ++i) eta[j][i] = spectrum::admittance(n[j][i], in, pol);
            n_rows.push_back(reinterpret_cast<const sardune_complex*>(n[j].data()));
            eta_rows.push_back(reinterpret_cast<const sardune_complex*>(eta[j].data()));
        }
        std::vector<std::vector<std::vector<cplx>>> storage(K);
        std::vector<std::vector<sardune_complex*>> slots(K);
        std::vector<sardune_complex* const*> records;
        for (int j = 0; j < K; ++j) {
            for (int slot = 0; slot < 7; ++slot) {
                storage[j].emplace_back(size_t(N) * (slot < 4 ? 1 : j + 1));
                slots[j].push_back(reinterpret_cast<sardune_complex*>(storage[j][slot].data()));
            }
            records.push_back(slots[j].data());
        }
        EXPECT_EQ(update_top_props(N, K, wl.data(), d.data(), n_rows.data(), eta_rows.data(),
                                   reinterpret_cast<const sardune_complex*>(&eta0),
                                   reinterpret_cast<const sardune_complex*>(substrate.data()), in.x, nullptr, 0,
                                   records.data(), true),
                  SARDUNE_OK);
        const auto& whole = storage[K - 1];
        for (int i = 0; i < N; ++i) {
            ref.R[i] += weight * std::norm(whole[2][i]);
            ref.T[i] += weight * substrate[0].real() / eta0.real() * std::norm(whole[0][i]);
            for (int k = 0; k < K; ++k)
                ref.dR[i][k] += weight * 2 * std::real(std::conj(whole[2][i]) * whole[5][size_t(k) * N + i]);
        }
    }
    return ref;
}

// The two paths differ only in the order of their sums: the largest
// sensitivity agrees to 1e-10 of itself (observed: 1e-14), R and T to 1e-12.
void expect_same_as_partial_coatings(const spectrum::Setup& s) {
    const spectrum::Result r = spectrum::compute(s);
    const Reference ref = by_partial_coatings(s);
    ASSERT_EQ(r.R.size(), ref.R.size());
    for (size_t i = 0; i < r.R.size(); ++i) {
        EXPECT_NEAR(r.R[i], ref.R[i], 1e-12) << r.wavelengths[i];
        EXPECT_NEAR(r.T[i], ref.T[i], 1e-12) << r.wavelengths[i];
        double largest = 0;
        for (const double v : ref.dR[i]) largest = std::max(largest, std::abs(v));
        EXPECT_NEAR(r.max_dR[i], largest, 1e-10 * largest) << r.wavelengths[i];
        // Near ties may pick another layer, but never a smaller value.
        EXPECT_NEAR(std::abs(ref.dR[i][r.max_layer[i]]), largest, 1e-10 * largest) << r.wavelengths[i];
    }
}

spectrum::Setup setup_of(spectrum::Design d) {
    spectrum::Setup s;
    s.design = std::move(d);
    return s;
}

spectrum::Design lossless(spectrum::Design d) {
    for (auto& layer : d.layers) layer.k = 0.0;
    return d;
}

TEST(SpectrumModel, LosslessCoatingsConserveEnergyAtAnyAngleAndPolarisation) {
    spectrum::Setup s = setup_of(lossless(spectrum::default_design()));
    s.design.layers[3].thickness_nm *= 1.3;  // off quarter-wave, so nothing is special
    s.from_nm = 380, s.to_nm = 900, s.step_nm = 7;
    for (char pol : {'s', 'p', 'u'})
        for (double angle : {0.0, 25.0, 50.0, 75.0, 89.9999999}) {
            s.polarisation = pol, s.angle_deg = angle;
            const spectrum::Result r = spectrum::compute(s);
            for (size_t i = 0; i < r.R.size(); ++i)
                EXPECT_NEAR(r.R[i] + r.T[i], 1.0, 1e-12) << pol << " " << angle << " " << r.wavelengths[i];
        }
}

TEST(SpectrumModel, AbsorptionTakesEnergyAndTheDefaultReflects) {
    spectrum::Setup s = setup_of(spectrum::default_design());
    s.from_nm = s.to_nm = 550;
    const spectrum::Result r = spectrum::compute(s);
    ASSERT_EQ(r.R.size(), 1u);
    EXPECT_GT(r.R[0], 0.99);
    EXPECT_LT(r.R[0] + r.T[0], 1.0);
    EXPECT_GT(r.R[0] + r.T[0], 0.99);
}

// Batches of 7, 5 and 11 put their boundaries inside the grids.
TEST(SpectrumModel, SensitivitiesAreThoseOfThePartialCoatingPath) {
    spectrum::Setup absorbing = setup_of(spectrum::default_design());  // forward-backward path
    absorbing.from_nm = 400, absorbing.to_nm = 800, absorbing.step_nm = 7, absorbing.batch = 7;
    expect_same_as_partial_coatings(absorbing);

    spectrum::Setup real = setup_of(lossless(spectrum::default_design()));  // real-index path
    real.from_nm = 420, real.to_nm = 700, real.step_nm = 4.5, real.batch = 5;
    real.angle_deg = 40, real.polarisation = 'p';
    real.design.substrate = {1.5, 0.01, -1};  // an absorbing substrate is the real-index path's too
    expect_same_as_partial_coatings(real);

    spectrum::Setup metal = setup_of(design_of(
        "material Metal cauchy 0.12 0 0 urbach 3.5 0.5 4\n"  // k from about 3.5 to 4.9
        "1.46 0 80\nMetal 25\n2.1 0.02 60\nfused_silica 95\n"));
    metal.from_nm = 450, metal.to_nm = 750, metal.step_nm = 10, metal.batch = 11;
    metal.angle_deg = 30, metal.polarisation = 'u', metal.design.incident.n = 1.33;
    expect_same_as_partial_coatings(metal);
}

// A lossless layer whose index lies below the angle invariant carries an
// evanescent wave: the real-index path cannot take it, the other one can.
TEST(SpectrumModel, LosslessLayersBelowTheAngleInvariantStillEvaluate) {
    spectrum::Setup s = setup_of(design_of("2.0 0 100\n1.2 0 150\n2.0 0 100\n"));
    s.design.incident.n = 1.5, s.angle_deg = 60;  // x = 1.3
    s.from_nm = 500, s.to_nm = 600, s.step_nm = 10;
    expect_same_as_partial_coatings(s);
    for (const double R : spectrum::compute(s).R) EXPECT_LT(R, 1.0);
}

TEST(SpectrumModel, SensitivityMatchesAFiniteDifference) {
    for (const char* design : {"2.0 0.01 120\n1.4 0 90\n2.2 0 70\n", "2.0 0 120\n1.4 0 90\nN-BK7 70\n"})
        for (char pol : {'s', 'p', 'u'}) {
            spectrum::Setup s = setup_of(design_of(design));
            s.from_nm = s.to_nm = 610;
            s.angle_deg = 30, s.polarisation = pol;
            const spectrum::Result r = spectrum::compute(s);
            const int k = r.max_layer[0];
            const double h = 1e-4;
            spectrum::Setup up = s, down = s;
            up.design.layers[k].thickness_nm += h;
            down.design.layers[k].thickness_nm -= h;
            const double R_up = spectrum::compute(up).R[0], R_down = spectrum::compute(down).R[0];
            EXPECT_NEAR(r.max_dR[0], std::abs(R_up - R_down) / (2 * h), 1e-7) << design << pol;
        }
}

TEST(SpectrumModel, ProgressFollowsTheBatches) {
    spectrum::Setup s = setup_of(spectrum::default_design());
    s.from_nm = 400, s.to_nm = 457, s.batch = 7;  // 58 wavelengths
    std::vector<size_t> done;
    spectrum::compute(s, [&](size_t d, size_t total) {
        EXPECT_EQ(total, 58u);
        done.push_back(d);
    });
    EXPECT_EQ(done, (std::vector<size_t>{7, 14, 21, 28, 35, 42, 49, 56, 58}));
}

TEST(SpectrumModel, ResultsTheEngineCannotEvaluateAreErrors) {
    // A thick metal layer: its matrix overflows.
    spectrum::Setup s = setup_of(design_of("1.5 0 10\n0.1 5 1e6\n"));
    s.from_nm = s.to_nm = 500;
    EXPECT_THROW(spectrum::compute(s), spectrum::ComputeError);
}

// R and T at one wavelength, and every derivative.
struct Point {
    double R, T;
    std::vector<double> dR, dT;
};

Point point_of(const spectrum::Setup& s) {
    Point p{};
    const spectrum::Result r = spectrum::compute(s, {}, [&p](const spectrum::Batch& b) {
        p.dR.assign(b.dR, b.dR + b.layers * b.count);
        p.dT.assign(b.dT, b.dT + b.layers * b.count);
    });
    p.R = r.R.at(0), p.T = r.T.at(0);
    return p;
}

spectrum::Setup at_one_wavelength(spectrum::Design d, double wavelength_nm) {
    spectrum::Setup s = setup_of(std::move(d));
    s.from_nm = s.to_nm = wavelength_nm;
    return s;
}

// Fresnel's closed forms at normal incidence between fixed indices.
double reflectance(cplx a, cplx b) { return std::norm((a - b) / (a + b)); }

TEST(SpectrumModel, ThickSubstrateCombinesItsFacesIncoherently) {
    // A bare slab of N = 1.5 - 2e-6 i, 1 mm: each face reflects R1, and a
    // pass through the slab leaves tau = exp(-4 pi k d / lambda). Into and
    // out of it the transmittances are Re(eta) |t|^2 / Re(eta0) of the faces.
    const cplx N(1.5, -2e-6);
    const Point slab =
        point_of(at_one_wavelength(design_of("substrate 1.5 2e-6\nsubstrate_thickness 1\n"), 600));
    const double R1 = reflectance(1.0, N), tau = std::exp(-4 * M_PI * 2e-6 * 1e6 / 600);
    const double into = N.real() * std::norm(2.0 / (1.0 + N)), out_of = std::norm(2.0 * N / (N + 1.0)) / N.real();
    EXPECT_NEAR(slab.R, R1 + into * out_of * R1 * tau * tau / (1 - R1 * R1 * tau * tau), 1e-15);
    EXPECT_NEAR(slab.T, into * out_of * tau / (1 - R1 * R1 * tau * tau), 1e-15);
    // A quarter-wave back coating of 1.38 on a lossless 1.5 into water:
    // Rb = ((1.5 1.33 - 1.38^2) / (1.5 1.33 + 1.38^2))^2 at its centre.
    const Point coated = point_of(at_one_wavelength(
        design_of("substrate 1.5 0\nsubstrate_thickness 3\nexit 1.33 0\nback 1.38 0 " +
                  spectrum::round_trip(550 / (4 * 1.38)) + "\n"),
        550));
    const double Rf = reflectance(1.0, 1.5), Rb = std::pow((1.5 * 1.33 - 1.38 * 1.38) / (1.5 * 1.33 + 1.38 * 1.38), 2);
    EXPECT_NEAR(coated.R, Rf + (1 - Rf) * (1 - Rf) * Rb / (1 - Rf * Rb), 1e-15);
    EXPECT_NEAR(coated.T, (1 - Rf) * (1 - Rb) / (1 - Rf * Rb), 1e-15);
    // Two back layers, listed from the back face outwards, reflect as the
    // same coating seen from a semi-infinite medium of the substrate's index.
    const Point two = point_of(at_one_wavelength(
        design_of("substrate 1.5 0\nsubstrate_thickness 3\nexit 1.33 0\nback 2.3 0 60\nback 1.38 0 140\n"), 550));
    const double Rb2 = point_of(at_one_wavelength(design_of("incident 1.5\nsubstrate 1.33 0\n1.38 0 140\n2.3 0 60\n"),
                                                  550)).R;
    EXPECT_NEAR(two.R, Rf + (1 - Rf) * (1 - Rf) * Rb2 / (1 - Rf * Rb2), 1e-15);
}

TEST(SpectrumModel, ThickSubstrateSensitivitiesMatchFiniteDifferences) {
    for (const char* front : {"2.0 0.01 120\n1.4 0 90\n2.2 0 70\n", "2.0 0 120\n1.4 0 90\n2.2 0 70\n"})
        for (const char pol : {'s', 'p', 'u'}) {
            spectrum::Setup s = at_one_wavelength(
                design_of(std::string(front) + "substrate 1.52 1e-6\nsubstrate_thickness 0.2\nexit 1.33 0\n"
                                               "back 1.9 0.002 80\nback 1.38 0 100\n"),
                610);
            s.angle_deg = 35, s.polarisation = pol;
            const Point p = point_of(s);
            for (size_t k = 0; k < 3; ++k) {
                const double h = 1e-4;
                spectrum::Setup up = s, down = s;
                up.design.layers[k].thickness_nm += h;
                down.design.layers[k].thickness_nm -= h;
                const Point a = point_of(up), b = point_of(down);
                EXPECT_NEAR(p.dR[k], (a.R - b.R) / (2 * h), 1e-8) << front << pol << k;
                EXPECT_NEAR(p.dT[k], (a.T - b.T) / (2 * h), 1e-8) << front << pol << k;
            }
        }
}

TEST(SpectrumModel, BareSubstrateGivesFresnelReflectance) {
    for (const char* substrate : {"substrate 1.5 0\n", "substrate 1.5 0.2\n"})
        for (const char pol : {'s', 'p'}) {
            spectrum::Setup s = at_one_wavelength(design_of(substrate), 500);
            s.angle_deg = 60, s.polarisation = pol;
            const spectrum::Result r = spectrum::compute(s);
            const cplx N(1.5, -s.design.substrate.k);
            const double c0 = 0.5, s0 = std::sqrt(0.75);
            const cplx c1 = std::sqrt(1.0 - (s0 / N) * (s0 / N));
            const cplx rs = (c0 - N * c1) / (c0 + N * c1), rp = (N * c0 - c1) / (N * c0 + c1);
            EXPECT_NEAR(r.R[0], std::norm(pol == 's' ? rs : rp), 1e-15) << substrate << pol;
            EXPECT_EQ(r.max_layer[0], -1);
            EXPECT_EQ(r.max_dR[0], 0.0);
        }
}

// The angle invariant is the incident index times sin(theta) at each
// wavelength: a dispersive incident medium gives what its index at that
// wavelength, fixed, gives there.
TEST(SpectrumModel, ADispersiveIncidentMediumIsTakenAtEachWavelength) {
    spectrum::Setup s = setup_of(design_of("incident H2O\nsubstrate fused_silica\n2.1 0 60\n1.46 0 90\n"));
    s.from_nm = 500, s.to_nm = 540, s.step_nm = 20, s.angle_deg = 40, s.polarisation = 'u';
    const spectrum::Result r = spectrum::compute(s);
    ASSERT_EQ(r.R.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        spectrum::Setup fixed = s;
        fixed.from_nm = fixed.to_nm = r.wavelengths[i];
        fixed.design.incident = {spectrum::index_at(s.design.materials[s.design.incident.material], r.wavelengths[i]).real(),
                                 0.0, -1};
        const spectrum::Result f = spectrum::compute(fixed);
        EXPECT_EQ(r.R[i], f.R[0]) << r.wavelengths[i];
        EXPECT_EQ(r.T[i], f.T[0]) << r.wavelengths[i];
        EXPECT_EQ(r.max_dR[i], f.max_dR[0]) << r.wavelengths[i];
    }
    // A medium that absorbs cannot be the incident one.
    spectrum::Setup absorbing = setup_of(design_of("incident N-BK7\n1.5 0 10\n"));
    try {
        spectrum::compute(absorbing);
        ADD_FAILURE() << "an absorbing incident medium accepted";
    } catch (const spectrum::InputError& e) {
        EXPECT_STREQ(e.what(), "incident: N-BK7 at 400 nm: k 1.0227e-08 is not 0 (the incident medium must be lossless)");
    }
}

// The package takes the incident admittance as n0 cos(theta) and
// n0 / cos(theta), theta = radians(angle); these are its values.
TEST(SpectrumModel, IncidentAdmittanceIsTakenFromTheCosine) {
    const spectrum::Incidence grazing = spectrum::incidence(1.5, 89.9);
    EXPECT_EQ(spectrum::incident_admittance(grazing, 's'), 0.0026179925488473924);
    EXPECT_EQ(spectrum::incident_admittance(grazing, 'p'), 859.4371290287262);
    EXPECT_EQ(grazing.x, 1.4999977153699315);
    const spectrum::Incidence water = spectrum::incidence(1.33, 60);
    EXPECT_EQ(spectrum::incident_admittance(water, 's'), 0.6650000000000001);
    EXPECT_EQ(spectrum::incident_admittance(water, 'p'), 2.6599999999999997);
}

// ---------------------------------------------------------------- design files

TEST(DesignFile, NumbersFollowTheGrammarAndNothingElse) {
    const std::pair<const char*, double> good[] = {
        {"2", 2}, {"2.", 2}, {".5", 0.5}, {"+1.5", 1.5}, {"-0", -0.0}, {"1E2", 100}, {"2.5e+1", 25},
        {"12.5E-1", 1.25}, {"007", 7}, {"1e-999", 0}, {"4.9e-324", 4.9e-324},
    };
    for (auto [text, value] : good) {
        double v = -1;
        EXPECT_EQ(spectrum::parse_number(text, v), spectrum::NumberStatus::ok) << text;
        EXPECT_EQ(v, value) << text;
    }
    for (const char* text : {"", ".", "+", "e5", "1e", "1e+", "1.2.3", "1,5", "2_35", "+-1", "0x10", "inf", "nan",
                             "1d5", " 1", "1 ", "\xd9\xa3", "1\xc2\xa0"}) {
        double v = 0;
        EXPECT_EQ(spectrum::parse_number(text, v), spectrum::NumberStatus::not_a_number) << text;
    }
    for (const char* text : {"1e999", "-1e309", "1.7976931348623159e308", "0.001e312", "1e99999999999999999999"}) {
        double v = 0;
        EXPECT_EQ(spectrum::parse_number(text, v), spectrum::NumberStatus::out_of_range) << text;
    }
}

TEST(DesignFile, MessagesShowBytesEscaped) {
    EXPECT_EQ(spectrum::escaped("a\x1b[0m\\\xff\x7f~ "), "a\\x1b[0m\\\\\\xff\\x7f~ ");
    const std::string e = design_error("2.35 0 \x1b]0;title\x07\n");
    EXPECT_EQ(e, "d.design:1: thickness: '\\x1b' is not allowed outside comments (only printable ASCII, spaces and "
                 "tabs)");
}

TEST(DesignFile, LinesEndAtLfCrLfOrALoneCr) {
    const spectrum::Design d = design_of("1.1 0 1\r\n1.2 0 2\r1.3 0 3\n\r1.4 0 4\r\r\n1.5 0 5");
    ASSERT_EQ(d.layers.size(), 5u);
    EXPECT_EQ(d.layers[4].thickness_nm, 5);
    // Line 5 is the empty one between LF and CR; the CR LF after "4" is one end.
    EXPECT_EQ(design_error("1.1 0 1\r\n1.2 0 2\r1.3 0 3\n\r1.4 0 4\r\r\nx 5").substr(0, 11), "d.design:7:");
}

TEST(DesignFile, FieldsAreNamedByPosition) {
    const std::pair<const char*, const char*> cases[] = {
        {"2.35\xc2\xa0" "0 58.5\n", "d.design:1: index: '\\xc2\\xa0'"},  // a no-break space is no separator
        {"2.35 0 58.5 \x01\n", "d.design:1: line: '\\x01'"},              // beyond the fields
        {"Foo\x80 10\n", "d.design:1: material: '\\x80'"},
        {"material X constant 1.5 0\nX 1\xe2\x80\x8a" "0\n", "d.design:2: thickness: '\\xe2\\x80\\x8a'"},
        {"material X table t\xc3\xa9.table\n", "d.design:1: table file: '\\xc3\\xa9'"},
        {"material X cauchy 1.5 0 0 k 0.\xff\n", "d.design:1: parameter: '\\xff'"},
        {"2.35 100\n", "d.design:1: line: expected 3 fields"},
        {"SiO2 10 4\n", "d.design:1: line: expected 2 fields"},
        {"material\n", "d.design:1: name: missing"},
        {"material X\n", "d.design:1: model: missing"},
        {"material X constant 1.5\n", "d.design:1: parameter: constant takes N K, found 1 parameter"},
        {"material X constant 101 0\n", "d.design:1: parameter: n 101 is outside 0 < n <= 100"},
        {"material X cauchy 1.5 0 0 k\n", "d.design:1: parameter: cauchy takes"},
        {"material X cauchy 1.5 0 0 k -1\n", "d.design:1: parameter: k -1 is outside 0 <= k <= 100"},
        {"material X sellmeier 1 2 3 4 5 6 7 8 9 10 11 12 13 14\n", "d.design:1: parameter: sellmeier takes"},
        {"material X sellmeier 1 0.1 k 0.1 2\n", "d.design:1: parameter: sellmeier takes"},
        {"material X table\n", "d.design:1: table file: table takes one file name"},
        {"material 9X constant 1 0\n", "d.design:1: name: '9X' is not a name"},
        {"material material constant 1 0\n", "d.design:1: name: 'material' is not a name"},
        {"material fused_silica constant 1 0\n", "d.design:1: name: fused_silica: built in"},
    };
    for (auto [text, message] : cases) {
        const std::string e = design_error(text);
        EXPECT_EQ(e.rfind(message, 0), 0u) << text << " -> " << e;
    }
}

TEST(DesignFile, MaterialsFilesHoldDefinitionsOnly) {
    EXPECT_EQ(design_error("material H constant 2.3 0\n1.5 0 10\n", true),
              "d.design:2: layer: a materials file holds no layers");
    EXPECT_EQ(design_error("material H constant 2.3 0\nH 10\n", true),
              "d.design:2: layer: a materials file holds no layers");
    spectrum::Design d = spectrum::empty_design();
    spectrum::parse_design("\nmaterial H constant 2.3 0\n", "m.materials", spectrum::FileKind::materials, d);
    spectrum::parse_design("H 10\n", "d.design", spectrum::FileKind::design, d);
    EXPECT_EQ(d.layers.size(), 1u);
    try {
        spectrum::parse_design("material H constant 2.4 0\n", "d.design", spectrum::FileKind::design, d);
        ADD_FAILURE() << "a materials file's name redefined";
    } catch (const spectrum::InputError& e) {
        EXPECT_STREQ(e.what(), "d.design:1: name: H: already defined at m.materials:2");
    }
}

TEST(DesignFile, ModelsAndBuiltInsGiveTheirIndices) {
    const std::string table = write_file("n.table", "400 1.5 0\n600 1.7 0.02\n800 1.6 0\n");
    const spectrum::Design d = design_of(
        "material U cauchy 2 0 0 urbach 0.01 2 0.5\n"
        "material T table " + fs::path(table).filename().string() + "\n"
        "U 1\nT 1\nfused_silica 1\nN-BK7 1\n",
        temp_path("d.design"));
    // k = K0 exp((E - E0)/EU) with E = 1239.84... / 619.92 nm = 2 eV
    EXPECT_NEAR(-index_of(d, d.layers[0], 1239.8419843320026 / 2).imag(), 0.01, 1e-15);
    EXPECT_NEAR(-index_of(d, d.layers[0], 1239.8419843320026 / 2.5).imag(), 0.01 * std::exp(1.0), 1e-15);
    EXPECT_NEAR(index_of(d, d.layers[1], 450).real(), 1.55, 1e-15);
    EXPECT_NEAR(-index_of(d, d.layers[1], 700).imag(), 0.01, 1e-15);
    EXPECT_EQ(index_of(d, d.layers[1], 800).real(), 1.6);
    // Published refractive indices at the helium d line.
    EXPECT_NEAR(index_of(d, d.layers[2], 587.5618).real(), 1.45846, 5e-6);
    EXPECT_NEAR(index_of(d, d.layers[3], 587.5618).real(), 1.51680, 5e-6);
}

TEST(DesignFile, DispersionLeavingItsBoundsNamesMaterialAndWavelength) {
    const std::string table = write_file("short.table", "400 1.5 0\n800 1.6 0\n");
    const spectrum::Design d = design_of(
        "material S sellmeier 1 0.3\nmaterial C cauchy -1 0.5 0\nmaterial T table " +
            fs::path(table).filename().string() + "\nS 1\nC 1\nT 1\n",
        temp_path("d.design"));
    auto error_at = [&](int layer, double wavelength) -> std::string {
        try {
            index_of(d, d.layers[layer], wavelength);
        } catch (const spectrum::InputError& e) {
            return e.what();
        }
        return "(accepted)";
    };
    EXPECT_EQ(error_at(0, 400), temp_path("d.design") + ":1: material: S at 400 nm: n^2 is not positive");
    EXPECT_EQ(error_at(1, 1000), temp_path("d.design") + ":2: material: C at 1000 nm: n -0.5 is outside 0 < n <= 100");
    EXPECT_EQ(error_at(2, 350), temp_path("short.table") + ": 350 nm is outside the table's range 400 to 800 nm");
    EXPECT_EQ(error_at(2, 800.5), temp_path("short.table") + ": 800.5 nm is outside the table's range 400 to 800 nm");
}

TEST(DesignFile, TableFilesAreCheckedWhenTheDesignIsRead) {
    const std::pair<std::string, std::string> cases[] = {
        {"400 1.5 0\n", "a table needs at least two rows, found 1"},
        {"400 1.5 0\n500 1.6\n", ":2: line: expected 3 fields"},
        {"400 1.5 0\n400 1.6 0\n", ":2: wavelength: '400' nm is not above"},
        {"-400 1.5 0\n500 1.6 0\n", ":1: wavelength: '-400' is not positive"},
        {"400 0 0\n500 1.6 0\n", ":1: index: n 0 is outside"},
        {"400 1.5 0\n500 1.6 -1\n", ":2: extinction coefficient: k -1 is outside"},
        {"400 1.5 0\n500 1.6 0\xc2\xa0\n", ":2: extinction coefficient: '\\xc2\\xa0'"},
    };
    for (const auto& [rows, message] : cases) {
        const std::string table = write_file("t.table", rows);
        const std::string e = design_error("material T table " + table + "\nT 10\n");
        EXPECT_EQ(e.find(table), 0u) << e;
        EXPECT_NE(e.find(message), std::string::npos) << rows << " -> " << e;
    }
    EXPECT_EQ(design_error("material T table /nonexistent.table\n"),
              "d.design:1: table file: /nonexistent.table: cannot open: No such file or directory");
}

TEST(DesignFile, ReadingStopsAtSixteenMebibytes) {
    std::string bytes = "1.5 0 10\n";
    const std::string comment = "# " + std::string(4093, '.') + "\n";
    while (bytes.size() + comment.size() <= spectrum::max_file_bytes) bytes += comment;
    bytes += std::string(spectrum::max_file_bytes - bytes.size(), '\n');
    ASSERT_EQ(bytes.size(), spectrum::max_file_bytes);
    spectrum::Design d = spectrum::empty_design();
    spectrum::read_design_file(write_file("full.design", bytes), d);
    EXPECT_EQ(d.layers.size(), 1u);
    const std::string over = write_file("over.design", bytes + "\n");
    EXPECT_THROW(spectrum::read_design_file(over, d), spectrum::InputError);
    try {
        spectrum::read_design_file("/dev/zero", d);
        ADD_FAILURE() << "/dev/zero read";
    } catch (const spectrum::InputError& e) {
        EXPECT_STREQ(e.what(), "/dev/zero: larger than 16 MiB");
    }
}

// ---------------------------------------------------------------- the optical-constants database

std::shared_ptr<const spectrum::Dispersion> data_of(const std::string& yaml, const std::string& file = "x.yml") {
    return spectrum::parse_database_file(yaml, file);
}

spectrum::Material material_of(std::shared_ptr<const spectrum::Dispersion> data, const std::string& name = "X") {
    spectrum::Material m;
    m.name = name, m.model = spectrum::Model::database, m.data = std::move(data);
    return m;
}

std::string yaml_error(const std::string& yaml) {
    try {
        data_of(yaml);
    } catch (const spectrum::InputError& e) {
        return e.what();
    }
    return "(accepted)";
}

std::string formula_file(int formula, const std::string& coefficients) {
    return "DATA:\n  - type: formula " + std::to_string(formula) +
           "\n    wavelength_range: 0.1 30\n    coefficients: " + coefficients + "\n";
}

// Coefficients of real data files; the indices worked out from them in
// 60-digit decimal arithmetic.
TEST(Database, EachFormulaGivesTheIndexOfItsCoefficients) {
    struct Case {
        int formula;
        const char* coefficients;
        double wavelength_nm, n;
    };
    const Case cases[] = {
        {1, "0 0.6961663 0.0684043 0.4079426 0.1162414 0.8974794 9.896161", 587.5618, 1.458463687137226},
        {2, "0 1.03961212 0.00600069867 0.231792344 0.0200179144 1.01046945 103.560653", 587.5618, 1.5168000345005885},
        {3, "2.986556 0.01828907 -2 -0.01445419 2", 600, 1.741308549287639},
        {4, "8.393 0.14383 0 0.2421 2 4430.99 0 36.71 2", 800, 2.31318550949987},
        {5, "1.875 6.28e-3 -2 5.80e-4 -4", 550, 1.9020986954443002},
        {6, "0 2.50141e-3 91.012 5.00283e-4 87.892 5.22343e-2 214.02", 300, 1.00029524949515},
        {7, "3.41983 0.159906 -0.123109 1.26878E-6 -1.95104E-9", 5000, 3.4260664955562214},
        {7, "3.41983 0.159906 -0.123109 1.26878E-6 -1.95104E-9 4e-11", 5000, 3.426067120556221},
        {8, "0.452505 0.09939 0.070537 -0.000150", 550, 2.2755844798783462},
        {9, "2.51527 0.0240 0.0300 0.020 1.52 0.8771", 600, 1.605403788031452},
    };
    for (const Case& c : cases) {
        const spectrum::Material m = material_of(data_of(formula_file(c.formula, c.coefficients)));
        const cplx n = spectrum::index_at(m, c.wavelength_nm);
        EXPECT_NEAR(n.real(), c.n, 4e-16 * c.n) << "formula " << c.formula;
        EXPECT_EQ(n.imag(), 0.0) << "formula " << c.formula;
    }
    // A formula whose n^2 is negative there gives no index.
    const spectrum::Material pole = material_of(data_of(formula_file(2, "0 1 0.25")));
    try {
        spectrum::index_at(pole, 400);
        ADD_FAILURE() << "n^2 < 0 accepted";
    } catch (const spectrum::InputError& e) {
        EXPECT_STREQ(e.what(), "X (built in) at 400 nm: n^2 is not positive");
    }
}

TEST(Database, BuiltInLibraryKeepsThePublishedGlassesAndInterpolatesMetals) {
    spectrum::Design d = spectrum::empty_design();
    auto at = [&d](const char* name, double wavelength_nm) {
        const int m = spectrum::find_material(d, name);
        EXPECT_GE(m, 0) << name;
        return m < 0 ? cplx() : spectrum::index_at(d.materials[m], wavelength_nm);
    };
    // The helium d line.
    EXPECT_NEAR(at("fused_silica", 587.5618).real(), 1.45846, 5e-6);
    EXPECT_NEAR(at("N-BK7", 587.5618).real(), 1.51680, 5e-6);
    // N-BK7's k from its rows (0.500 um 9.5781E-09): the same k as n - ik.
    EXPECT_NEAR(at("N-BK7", 500).real(), 1.5214144757734769, 4e-16);
    EXPECT_EQ(at("N-BK7", 500).imag(), -9.5781e-09);
    // Silver between its rows 0.5209 0.05 3.324 and 0.5486 0.06 3.586.
    const double f = (535 - 520.9) / (548.6 - 520.9);
    EXPECT_NEAR(at("Ag", 535).real(), 0.05 + f * 0.01, 1e-15);
    EXPECT_NEAR(-at("Ag", 535).imag(), 3.324 + f * 0.262, 1e-14);
    EXPECT_EQ(at("Ag", 520.9), cplx(0.05, -3.324));
    // A name the library does not have.
    EXPECT_EQ(spectrum::find_material(d, "Unobtainium"), -1);
    // Every entry of the index reads.
    for (const spectrum::LibraryEntry& e : d.library->entries) EXPECT_GE(spectrum::find_material(d, e.name), 0) << e.name;
    EXPECT_GE(d.library->entries.size(), 20u);
}

TEST(Database, OutsideItsDataAMaterialIsAnErrorUnlessExtrapolated) {
    spectrum::Design d = spectrum::empty_design();
    const spectrum::Material& silica = d.materials[spectrum::find_material(d, "SiO2")];
    try {
        spectrum::index_at(silica, 240);
        ADD_FAILURE() << "240 nm accepted";
    } catch (const spectrum::InputError& e) {
        EXPECT_EQ(std::string(e.what()), "SiO2 (built in) at 240 nm: outside the data's range 250 to 2500 nm (" +
                                             silica.data->file + "; --extrapolate evaluates it there)");
    }
    EXPECT_NO_THROW(spectrum::index_at(silica, 250));
    EXPECT_NO_THROW(spectrum::index_at(silica, 2500));
    EXPECT_THROW(spectrum::index_at(silica, 2500.0000001), spectrum::InputError);
    // Extrapolated, rows hold their end values and formulas go on.
    EXPECT_EQ(spectrum::index_at(silica, 240, true), cplx(1.517462, -0.000260));
    const spectrum::Material m = material_of(data_of(
        "DATA:\n  - type: formula 5\n    wavelength_range: 0.4 0.8\n    coefficients: 1.5 0.01 -2\n"));
    EXPECT_THROW(spectrum::index_at(m, 399), spectrum::InputError);
    EXPECT_NEAR(spectrum::index_at(m, 200, true).real(), 1.5 + 0.01 / 0.04, 1e-15);
    // The range of n and k together: k rows from 0.5 um narrow a formula's 0.4 to 0.8.
    const spectrum::Material narrowed = material_of(data_of(
        "DATA:\n  - type: formula 5\n    wavelength_range: 0.4 0.8\n    coefficients: 1.5\n"
        "  - type: tabulated k\n    data: |\n        0.5 0.1\n        0.9 0.2\n"));
    EXPECT_EQ(narrowed.data->from_nm, 500);
    EXPECT_EQ(narrowed.data->to_nm, 800);
    EXPECT_NEAR(-spectrum::index_at(narrowed, 700).imag(), 0.15, 1e-15);
}

// 0.3791 um times 1000 is 379.09999999999997 nm; its decimal exponent
// raised by 3 is 379.1 nm.
TEST(Database, WavelengthsComeFromMicrometresByTheirDecimalExponent) {
    const auto d = data_of("DATA:\n  - type: tabulated nk\n    data: |\n        0.3791 1.5 0\n        1.0049e0 1.6 0.5\n");
    EXPECT_EQ(d->n_wavelength_nm, (std::vector<double>{379.1, 1004.9}));
    EXPECT_EQ(d->from_nm, 379.1);
    EXPECT_EQ(d->to_nm, 1004.9);
    EXPECT_EQ(data_of("DATA:\n  - type: formula 5\n    wavelength_range: 3791e-4 44e-1\n    coefficients: 1.5\n")->from_nm,
              379.1);
}

TEST(Database, BadFilesNameTheFileLineAndField) {
    const std::string item = "DATA:\n  - type: ";
    const std::pair<std::string, std::string> cases[] = {
        {"", "x.yml:1: DATA: missing"},
        {"REFERENCES: none\n", "x.yml:1: DATA: missing"},
        {"DATA: [unclosed\n", "x.yml:2: YAML: "},
        {"DATA: 5\n", "x.yml:1: DATA: expected a list of one or two items"},
        {"DATA:\n  - 5\n", "x.yml:2: DATA: expected an item with a type"},
        {"DATA:\n  - data: 1 2\n", "x.yml:2: type: missing"},
        {item + "formula 10\n", "x.yml:2: type: unknown type 'formula 10'"},
        {item + "tabulated\n", "x.yml:2: type: unknown type 'tabulated'"},
        {item + "formula 1\n    coefficients: 0 1\n", "x.yml:2: wavelength_range: missing"},
        {item + "formula 1\n    wavelength_range: 0.5\n", "x.yml:3: wavelength_range: expected LO HI in um"},
        {item + "formula 1\n    wavelength_range: 0.5 0.4\n", "x.yml:3: wavelength_range: '0.5 0.4' is not an interval"},
        {item + "formula 1\n    wavelength_range: 0 0.4\n", "x.yml:3: wavelength_range: wavelength 0 um is not positive"},
        {item + "formula 1\n    wavelength_range: 0.2 2\n", "x.yml:2: coefficients: missing"},
        {item + "formula 1\n    wavelength_range: 0.2 2\n    coefficients: 0 1\n",
         "x.yml:4: coefficients: formula 1 takes C1 and up to 8 pairs: 1, 3, ..., 17 coefficients, found 2"},
        {item + "formula 4\n    wavelength_range: 0.2 2\n    coefficients: 1 2 3\n",
         "x.yml:4: coefficients: formula 4 takes 1, 5, 9, 11, 13, 15 or 17 coefficients, found 3"},
        {item + "formula 2\n    wavelength_range: 0.2 2\n    coefficients: 0 1,5 0.01\n",
         "x.yml:4: coefficients: '1,5' is not a number"},
        {item + "formula 2\n    wavelength_range: 0.2 2\n    coefficients: [0, 1, 0.01]\n",
         "x.yml:4: coefficients: expected a text of numbers"},
        {item + "tabulated nk\n    data: |\n        0.4 1.5 0\n        0.5 1.4\n",
         "x.yml:5: data: expected 3 numbers (lambda n k) per row, found 2"},
        {item + "tabulated n\n    data: |\n        0.4 1.5\n\n        0.4 1.4\n",
         "x.yml:6: data: wavelength 0.4 um is not above the previous row's"},
        {item + "tabulated nk\n    data: |\n        0.4 -1.5 0\n        0.5 1.4 0\n", "x.yml:4: data: n -1.5 is not positive"},
        {item + "tabulated k\n    data: |\n        0.4 0\n        0.5 -1e-3\n",
         "x.yml:5: data: k -1e-3 is negative (absorption has k >= 0, n + ik)"},
        {item + "tabulated n\n    data: |\n        0.4 1.5\n", "x.yml:3: data: expected at least two rows, found 1"},
        {item + "tabulated k\n    data: |\n        0.4 0\n        0.5 0\n",
         "x.yml:2: DATA: no n: a formula, tabulated n or tabulated nk is needed"},
        {item + "tabulated n\n    data: |\n        0.4 1.5\n        0.5 1.5\n  - type: tabulated nk\n    data: |\n"
                "        0.4 1.5 0\n        0.5 1.5 0\n",
         "x.yml:6: DATA: n is already given at line 2"},
        {item + "tabulated n\n    data: |\n        0.4 1.5\n        0.5 1.5\n  - type: tabulated k\n    data: |\n"
                "        0.6 0\n        0.7 0\n",
         "x.yml:6: DATA: the wavelengths of k do not meet those of n"},
        {item + "tabulated nk\n    data: 0.4 1.5 0 0.5 1.4 0\n",
         "x.yml:3: data: expected 3 numbers (lambda n k) per row, found 6"},
    };
    for (const auto& [yaml, message] : cases) {
        const std::string e = yaml_error(yaml);
        EXPECT_EQ(e.rfind(message, 0), 0u) << yaml << " -> " << e;
    }
    // Bytes from the file are shown escaped.
    EXPECT_EQ(yaml_error(item + "formula 1\n    wavelength_range: 0.2 2\n    coefficients: 0 1\xc2\xa0" "0.1\n"),
              "x.yml:4: coefficients: '1\\xc2\\xa00.1' is not a number");
}

// yaml-cpp's own trees take some 400 bytes a node and seconds for a few
// MiB; the reader stops at 10000 nodes and 4 MiB.
TEST(Database, LargeFilesAreRefusedBeforeTheyCostMuch) {
    std::string flow = "DATA: [";
    for (int i = 0; i < 20000; ++i) flow += "0,";
    EXPECT_EQ(yaml_error(flow + "0]\n"), "x.yml:1: YAML: more than 10000 nodes");
    EXPECT_EQ(yaml_error(std::string(3000, '[')).rfind("x.yml:1: YAML: ", 0), 0u);
    const std::string big = write_file("big.yml", "# " + std::string(spectrum::max_yaml_bytes, '.') + "\n");
    try {
        spectrum::read_database_file(big);
        ADD_FAILURE() << "a file above 4 MiB read";
    } catch (const spectrum::InputError& e) {
        EXPECT_EQ(std::string(e.what()), big + ": larger than 4 MiB");
    }
}

TEST(Database, PagesNameFilesOfAUsersCopy) {
    const fs::path root = temp_path("database");
    fs::create_directories(root / "data/main/X/nk");
    std::ofstream(root / "data/main/X/nk/Some One.yml") << formula_file(5, "1.25");
    std::ofstream(root / "data/main/X/nk/Y.yml") << formula_file(5, "1.5");
    const std::string dir = root.string();
    EXPECT_EQ(spectrum::page_file(dir, "main/X/nk/Some One"), dir + "/data/main/X/nk/Some One.yml");
    for (const char* page : {"", "/etc/passwd", "main/../../x", "main//x", "main/./x", "main/x/", "a\nb"})
        EXPECT_THROW(spectrum::page_file(dir, page), spectrum::InputError) << page;
    // In a design file, beside a .yml file of its own folder.
    const std::string design = write_file("d.design", "material P database main/X/nk/Gao\nP 10\n");
    spectrum::Design d = spectrum::empty_design();
    d.database = dir;
    try {
        spectrum::read_design_file(design, d);
        ADD_FAILURE() << "a missing page read";
    } catch (const spectrum::InputError& e) {
        EXPECT_EQ(std::string(e.what()),
                  design + ":1: page: " + dir + "/data/main/X/nk/Gao.yml: cannot open: No such file or directory");
    }
    std::ofstream(temp_path("own.yml")) << formula_file(5, "1.75");
    spectrum::Design e = spectrum::empty_design();
    e.database = dir;
    spectrum::parse_design("material O database " + fs::path(temp_path("own.yml")).filename().string() +
                               "\nmaterial P database main/X/nk/Y\nO 10\nP 20\n",
                           design, spectrum::FileKind::design, e);
    EXPECT_EQ(index_of(e, e.layers[0], 500), cplx(1.75, 0));
    EXPECT_EQ(index_of(e, e.layers[1], 500), cplx(1.5, 0));
}

// ---------------------------------------------------------------- design files: media, limits, the written form

TEST(DesignFile, StatementsGiveTheMediaAndTheBackLayers) {
    const spectrum::Design d = design_of(
        "back 1.38 0 99.6\nincident 1.33\nsubstrate N-BK7\n2.1 0 60\nsubstrate_thickness 2.5\nback fused_silica 10\n");
    EXPECT_EQ(d.incident.n, 1.33);
    EXPECT_EQ(d.materials[d.substrate.material].name, "N-BK7");
    EXPECT_EQ(d.substrate_thickness_mm, 2.5);
    EXPECT_FALSE(d.exit_given);
    EXPECT_EQ(&d.exit_medium(), &d.incident);
    ASSERT_EQ(d.back.size(), 2u);
    EXPECT_EQ(d.back[0].n, 1.38);  // from the back face outwards, as listed
    EXPECT_EQ(d.materials[d.back[1].material].name, "fused_silica");
    EXPECT_EQ(d.layers.size(), 1u);
    const spectrum::Design e = design_of("substrate 1.6 0.01\nexit 1.5 0\nsubstrate_thickness 1\n");
    EXPECT_EQ(e.substrate.k, 0.01);
    EXPECT_TRUE(e.exit_given);
    EXPECT_EQ(e.exit_medium().n, 1.5);
    EXPECT_TRUE(e.layers.empty());
}

TEST(DesignFile, StatementsBelongInDesignFilesOnly) {
    EXPECT_EQ(design_error("substrate 1.5 0\n", true), "d.design:1: substrate: a materials file holds definitions only");
    EXPECT_EQ(design_error("back 1.5 0 10\n", true), "d.design:1: layer: a materials file holds no layers");
    spectrum::Design d = design_of("substrate_thickness 1\n");
    spectrum::parse_design("material B constant 1.4 0\nB 20\n1.5 0 10\n", "b.design", spectrum::FileKind::back, d);
    EXPECT_TRUE(d.layers.empty());
    ASSERT_EQ(d.back.size(), 2u);
    EXPECT_EQ(d.back[1].thickness_nm, 10);
    try {
        spectrum::parse_design("1.5 0 10\nincident 1.2\n", "b.design", spectrum::FileKind::back, d);
        ADD_FAILURE() << "a statement in a back file";
    } catch (const spectrum::InputError& e) {
        EXPECT_STREQ(e.what(), "b.design:2: incident: a back-coating file holds layers and definitions only");
    }
}

TEST(DesignFile, LayerCountIsBounded) {
    std::string layers;
    for (size_t j = 0; j < spectrum::max_layers; ++j) layers += "1.5 0 1\n";
    EXPECT_EQ(design_of(layers).layers.size(), spectrum::max_layers);
    EXPECT_EQ(design_error(layers + "1.5 0 1\n"),
              "d.design:100001: layer: more than 100000 layers (front and back), more than sardune-spectrum computes "
              "within its 32 MiB workspace");
    EXPECT_EQ(design_error("substrate_thickness 1\nback 1.5 0 1\n" + layers).rfind("d.design:100002: layer: more", 0),
              0u);
}

TEST(DesignFile, WrittenNumbersAreTheShortestThatReadBack) {
    // Fixed or scientific, whichever is shorter, fixed when both are as long.
    const std::pair<double, const char*> cases[] = {
        {100, "100"},   {1e5, "1e+05"}, {0.001, "0.001"}, {0.0001, "1e-04"},   {1e-05, "1e-05"},
        {1.52, "1.52"}, {-0.0, "0"},    {0.1 + 0.2, "0.30000000000000004"}, {123456.5, "123456.5"}};
    for (const auto& [v, text] : cases) EXPECT_EQ(spectrum::round_trip(v), text) << v;
}

TEST(DesignFile, WrittenFormReadsBackToTheSameDesign) {
    std::ofstream(temp_path("n.table")) << "400 1.5 0\n800 1.6 0.01\n";
    std::ofstream(temp_path("hf.yml")) << formula_file(5, "1.875 6.28e-3 -2");
    const std::string source = temp_path("sub/../d.design");
    fs::create_directories(temp_path("sub"));
    auto normal = [](const std::string& path) { return fs::absolute(path).lexically_normal().string(); };
    const spectrum::Design d = design_of(
        "material Unused constant 1.7 0\n"
        "material U cauchy 2.2 0.02 0 urbach 0.001 4 0.3\n"
        "material C cauchy 1.45 0.0036 0 k 0\n"
        "material S sellmeier 1.1 0.01 k 0.0005\n"
        "material T table " + fs::path(temp_path("n.table")).filename().string() + "\n"
        "material H database " + fs::path(temp_path("hf.yml")).filename().string() + "\n"
        "material K constant 2.35 -0\n"
        "material I constant 1.33 0\n"
        "back H 10\nsubstrate_thickness 0.5\nincident I\nsubstrate S\n"
        "T 1e5\nK 100\nU 0.0001\n1.52 0 58.5\nC 2\nTiO2 20\n",
        source);
    const std::string written = spectrum::write_design(d);
    EXPECT_EQ(written,
              "# sardune design file: layers from the substrate up\n"
              "material I constant 1.33 0\n"
              "material S sellmeier 1.1 0.01 k 5e-04\n"
              "material T table " + normal(temp_path("n.table")) + "\n"
              "material K constant 2.35 0\n"
              "material U cauchy 2.2 0.02 0 urbach 0.001 4 0.3\n"
              "material C cauchy 1.45 0.0036 0\n"
              "material H database " + normal(temp_path("hf.yml")) + "\n"
              "incident I\nsubstrate S\nsubstrate_thickness 0.5\nexit I\n"
              "T 1e+05\nK 100\nU 1e-04\n1.52 0 58.5\nC 2\nTiO2 20\nback H 10\n");
    const spectrum::Design again = design_of(written, temp_path("elsewhere.design"));
    EXPECT_EQ(spectrum::write_design(again), written);
    // A path the grammar cannot hold is refused, naming the material.
    spectrum::Design spaced = spectrum::empty_design();
    spectrum::Material w;
    w.name = "W", w.file = "d.design", w.line = 1, w.model = spectrum::Model::table;
    w.table = std::make_shared<const spectrum::Table>(
        spectrum::Table{"/tmp/with space.table", {400, 800}, {1.5, 1.6}, {0, 0}});
    spaced.materials.push_back(w);
    spaced.substrate.material = 0;
    try {
        spectrum::write_design(spaced);
        ADD_FAILURE() << "a path with a space written";
    } catch (const spectrum::InputError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("material W: '", 0), 0u) << e.what();
    }
}

// The corpus both parsers run: every good file gives its expected media and
// layers, every bad one the line and field its first line names (see
// tests/design_files/README.md).
std::vector<fs::path> corpus(const std::string& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(DESIGN_FILES) / folder))
        if (entry.path().extension() == ".design") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

fs::path sibling(fs::path file, const char* extension) { return file.replace_extension(extension); }

TEST(DesignFile, GoodCorpusFilesGiveTheirExpectedMediaAndLayers) {
    const std::vector<fs::path> files = corpus("good");
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        spectrum::Design d = spectrum::empty_design();
        try {
            if (fs::exists(sibling(file, ".materials"))) spectrum::read_materials_file(sibling(file, ".materials"), d);
            spectrum::read_design_file(file.string(), d);
        } catch (const spectrum::InputError& e) {
            ADD_FAILURE() << e.what();
            continue;
        }
        // n and k at 500 and 700 nm of a medium or layer, against a row's numbers.
        auto expect_nk = [&](const spectrum::Medium& m, std::istringstream& row, const std::string& what) {
            const cplx at500 = index_of(d, m, 500), at700 = index_of(d, m, 700);
            const double got[] = {at500.real(), -at500.imag(), at700.real(), -at700.imag()};
            for (int c = 0; c < 4; ++c) {
                double want = -1;
                row >> want;
                EXPECT_NEAR(got[c], want, 1e-12 * std::abs(want)) << file << " " << what << " column " << c;
            }
        };
        std::ifstream rows(sibling(file, ".expected"));
        ASSERT_TRUE(rows) << sibling(file, ".expected");
        const std::string listed((std::istreambuf_iterator<char>(rows)), {});
        // Media not listed keep their defaults.
        std::string defaults;
        if (("\n" + listed).find("\nincident ") == std::string::npos) defaults += "incident 1 0 1 0\n";
        if (("\n" + listed).find("\nsubstrate ") == std::string::npos) defaults += "substrate 1.52 0 1.52 0\n";
        size_t front = 0, back = 0;
        bool thickness = false;
        std::istringstream lines(defaults + listed);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream row(line);
            std::string first;
            if (!(row >> first)) continue;
            if (first == "incident" || first == "substrate" || first == "exit") {
                expect_nk(first == "incident" ? d.incident : first == "substrate" ? d.substrate : d.exit_medium(), row,
                          first);
            } else if (first == "substrate_thickness") {
                double mm = 0;
                row >> mm;
                EXPECT_EQ(d.substrate_thickness_mm, mm) << file;
                thickness = true;
            } else {
                std::vector<spectrum::Layer>& layers = first == "back" ? d.back : d.layers;
                size_t& j = first == "back" ? back : front;
                if (first != "back") row.seekg(0);
                double thickness_nm = -1;
                row >> thickness_nm;
                ASSERT_LT(j, layers.size()) << file << " " << line;
                EXPECT_NEAR(layers[j].thickness_nm, thickness_nm, 1e-12 * thickness_nm) << file << " " << line;
                expect_nk(layers[j], row, line);
                ++j;
            }
        }
        EXPECT_EQ(front, d.layers.size()) << file;
        EXPECT_EQ(back, d.back.size()) << file;
        EXPECT_EQ(thickness, d.thick()) << file;
    }
}

TEST(DesignFile, BadCorpusFilesNameTheirLineAndField) {
    const std::vector<fs::path> files = corpus("bad");
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        std::ifstream in(file);
        std::string hash, expect, line, field;
        in >> hash >> expect >> line >> std::ws;
        std::getline(in, field);
        ASSERT_EQ(hash + expect, "#expect:") << file;
        std::string message = "(accepted)";
        try {
            spectrum::Design d = spectrum::empty_design();
            if (fs::exists(sibling(file, ".materials"))) spectrum::read_materials_file(sibling(file, ".materials"), d);
            spectrum::read_design_file(file.string(), d);
        } catch (const spectrum::InputError& e) {
            message = e.what();
        }
        if (line == "-")
            EXPECT_EQ(message.rfind(file.string() + ": ", 0), 0u) << message;
        else
            EXPECT_NE(message.find(":" + line + ": " + field + ":"), std::string::npos) << file << " -> " << message;
        EXPECT_NE(message.find(field), std::string::npos) << file << " -> " << message;
    }
}

// ---------------------------------------------------------------- the tool in-process

// An output stream into memory reserved in advance, so that writing to it
// allocates nothing; beyond its capacity writes fail.
class Capture : public std::streambuf {
public:
    explicit Capture(size_t capacity) { text.reserve(capacity); }
    std::string text;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const auto room = static_cast<std::streamsize>(text.capacity() - text.size());
        text.append(s, static_cast<size_t>(std::min(n, room)));
        return std::min(n, room);
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
};

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun in_process(std::vector<std::string> args, size_t out_capacity = 1 << 20, double progress_after = -1) {
    args.insert(args.begin(), "sardune-spectrum");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    Capture out(out_capacity), err(1 << 16);
    std::ostream out_stream(&out), err_stream(&err);
    const int status = spectrum::run_tool(static_cast<int>(argv.size()), argv.data(), out_stream, err_stream,
                                          progress_after);
    return {status, out.text, err.text};
}

int lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

TEST(SpectrumTool, OptionsOutsideTheirBoundsAreBadInput) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--from", "0"}, "--from: 0 is outside 1 to 1e6 nm"},
        {{"--from", "1e-300", "--to", "1e-300"}, "--from: 1e-300 is outside 1 to 1e6 nm"},
        {{"--to", "2e6"}, "--to: 2000000 is outside 1 to 1e6 nm"},
        {{"--from", "500", "--to", "400"}, "--to: 400 nm is below --from 500 nm"},
        {{"--step", "0"}, "--step: 0 is outside 1e-4 to 1e6 nm"},
        {{"--step", "1e-300"}, "--step: 1e-300 is outside 1e-4 to 1e6 nm"},
        {{"--from", "1", "--to", "1e6", "--step", "0.5"}, "--step: more than 1000000 wavelengths from --from to --to"},
        {{"--angle", "90"}, "--angle: 90 is outside 0 <= angle < 90 degrees"},
        {{"--angle", "-5"}, "--angle: -5 is outside 0 <= angle < 90 degrees"},
        {{"--angle", "ten"}, "--angle: 'ten' is not a number"},
        {{"--angle", "1e999"}, "--angle: '1e999' is out of range"},
        {{"--incident", "0"}, "--incident: 0 is outside 0 < n <= 100"},
        {{"--substrate", "1e300"}, "--substrate: 1e+300 is outside 0 < n <= 100"},
        {{"--substrate-k", "-1"}, "--substrate-k: -1 is outside 0 <= k <= 100"},
        {{"--threads", "2.5"}, "--threads: expected a whole number from 0 to 1024"},
        {{"--pol", "q"}, "--pol: expected s, p or u, found 'q'"},
        {{"--design", ""}, "--design: empty file name"},
        {{"--materials", "m"}, "--materials: only read together with --design"},
        {{"--colour\x1b[31m", "red"}, "unknown option '--colour\\x1b[31m' (see --help)"},
        {{"--angle"}, "option --angle needs a value"},
        {{"--design", "/nonexistent/d.design"}, "/nonexistent/d.design: cannot open: No such file or directory"},
        {{"--range", "500", "400", "1"}, "--range: STOP 400 nm is below START 500 nm"},
        {{"--range", "500", "600", "0"}, "--range: 0 is outside 1e-4 to 1e6 nm"},
        {{"--range", "500", "600"}, "option --range needs START STOP STEP"},
        {{"--substrate", "Unobtainium"},
         "--substrate: unknown material 'Unobtainium' (a number, a built-in name, a material of the design, a database "
         "page or a .yml file)"},
        {{"--substrate", "N-BK7", "--substrate-k", "0.1"}, "--substrate-k: only for a medium given by its index (--substrate N)"},
        {{"--substrate-thickness", "0"}, "--substrate-thickness: 0 is outside 0 < MM <= 1000"},
        {{"--substrate-thickness", "1001"}, "--substrate-thickness: 1001 is outside 0 < MM <= 1000"},
        {{"--exit", "1.33"}, "--exit: only behind a thick substrate (--substrate-thickness MM)"},
        {{"--back", "/dev/null"}, "--back: only on a thick substrate (--substrate-thickness MM)"},
        {{"--exit-k", "-1"}, "--exit-k: -1 is outside 0 <= k <= 100"},
        {{"--incident", "main/SiO2/nk/Gao"},
         "--incident: 'main/SiO2/nk/Gao' is a page of a database: give its folder (--database DIR or SARDUNE_DATABASE)"},
        {{"--database", "/nonexistent"}, "--database: '/nonexistent' holds no data/ folder, as a copy of the database does"},
        {{"--substrate", "/nonexistent/x.yml"}, "/nonexistent/x.yml: cannot open: No such file or directory"},
        {{"--incident", "N-BK7"},
         "incident: N-BK7 at 400 nm: k 1.0227e-08 is not 0 (the incident medium must be lossless)"},
        {{"--substrate", "SiO2", "--from", "200"},
         "SiO2 (built in) at 200 nm: outside the data's range 250 to 2500 nm (" +
             fs::absolute(fs::path(SPECTRUM_TOOL).parent_path() / "../share/sardune/materials/SiO2.yml")
                 .lexically_normal()
                 .string() +
             "; --extrapolate evaluates it there)"},
    };
    for (const auto& [args, message] : cases) {
        const ToolRun r = in_process(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_TRUE(r.out.empty()) << args[0];
        EXPECT_EQ(r.err, "sardune-spectrum: " + message + "\n") << args[0];
    }
}

TEST(SpectrumTool, SummarySuitsTheSpectrum) {
    const ToolRun high = in_process({});
    EXPECT_EQ(high.status, 0);
    EXPECT_EQ(high.err.rfind("peak R 0.99", 0), 0u) << high.err;
    EXPECT_NE(high.err.find("band above half peak"), std::string::npos);
    const std::string ar = write_file("ar.design", "1.38 0 99.6\n");
    const ToolRun low = in_process({"--design", ar, "--from", "500", "--to", "600", "--step", "50"});
    EXPECT_EQ(low.status, 0) << low.err;
    // R of one quarter-wave MgF2 layer on glass: 0.0126 at its centre.
    EXPECT_EQ(low.err.rfind("mean R 0.01", 0), 0u) << low.err;
    EXPECT_NE(low.err.find(", over 500.00 to 600.00 nm\n"), std::string::npos) << low.err;
}

TEST(SpectrumTool, ProgressIsShownAndErasedBeforeTheSummary) {
    const ToolRun shown = in_process({}, 1 << 20, 0.0);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.err.rfind("\rsardune-spectrum: 401 of 401 wavelengths\r ", 0), 0u) << shown.err;
    EXPECT_NE(shown.err.find(" \rpeak R "), std::string::npos);
    EXPECT_EQ(in_process({}).err.rfind("peak R ", 0), 0u);
}

TEST(SpectrumTool, UnwritableOutputIsAFailure) {
    const ToolRun r = in_process({}, 100);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "sardune-spectrum: cannot write the output\n");
}

TEST(SpectrumTool, RunningOutOfMemoryAnywhereIsReportedAsSuch) {
    const std::string table = write_file("k.table", "450 1.5 0.01\n550 1.6 0\n");
    const std::string materials = write_file("m.materials", "material H cauchy 2.2 0.02 0 urbach 0.001 4 0.3\n");
    const std::string design = write_file(
        "d.design", "material T table " + fs::path(table).filename().string() +
                        "\nmaterial L sellmeier 1.1 0.01 k 0\nH 60\nL 90\nT 10\nfused_silica 5\n1.9 0.001 30\n");
    for (const char* threads : {"1", "2"}) {
        const std::vector<std::string> args = {"--design", design, "--materials", materials, "--pol",    "u",
                                               "--from",   "500",  "--to",        "520",     "--step",   "10",
                                               "--angle",  "20",   "--threads",   threads};
        const ToolRun clean = in_process(args);
        ASSERT_EQ(clean.status, 0) << clean.err;
        for (const bool persistent : {false, true}) {
            long allocation = 0;
            for (;; ++allocation) {
                ToolRun r;
                long failed = 0;
                {
                    std::vector<const char*> argv = {"sardune-spectrum"};
                    for (const auto& a : args) argv.push_back(a.c_str());
                    Capture out(1 << 16), err(1 << 12);
                    std::ostream out_stream(&out), err_stream(&err);
                    alloc_fault::Scope fault(allocation, persistent);
                    r.status = spectrum::run_tool(static_cast<int>(argv.size()), argv.data(), out_stream, err_stream);
                    failed = alloc_fault::failures();
                    alloc_fault::disarm();
                    r.out = out.text, r.err = err.text;
                }
                if (failed == 0) break;  // every allocation has had its turn
                if (r.status == 0) {
                    // A failure the tool or the engine could work around.
                    EXPECT_EQ(r.out, clean.out) << "allocation " << allocation;
                } else {
                    EXPECT_EQ(r.status, 1) << "allocation " << allocation << ": " << r.err;
                    EXPECT_EQ(r.err, "sardune-spectrum: not enough memory\n") << "allocation " << allocation;
                    EXPECT_TRUE(r.out.empty()) << "allocation " << allocation;
                }
            }
            EXPECT_GT(allocation, 50) << threads << persistent;
        }
    }
}

std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        rows.emplace_back();
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, ',');) rows.back().push_back(f);
    }
    return rows;
}

TEST(SpectrumTool, RangeGivesTheGridOfFromToStep) {
    const ToolRun range = in_process({"--range", "500", "600", "25"});
    EXPECT_EQ(range.status, 0) << range.err;
    EXPECT_EQ(range.out, in_process({"--from", "500", "--to", "600", "--step", "25"}).out);
    EXPECT_EQ(lines(range.out), 1 + 5);
    // As for the plot, --range holds whatever the order.
    EXPECT_EQ(in_process({"--range", "500", "600", "25", "--from", "400"}).out, range.out);
    EXPECT_EQ(in_process({"--to", "700", "--range", "500", "600", "25"}).out, range.out);
}

TEST(SpectrumTool, BareSubstrateAndTheAbsorptanceColumn) {
    const ToolRun bare = in_process({"--design", write_file("bare.design", "# no layers\n"), "--range", "500", "500", "1"});
    EXPECT_EQ(bare.status, 0) << bare.err;
    // ((1.52 - 1) / 2.52)^2, nothing absorbed, no layer.
    EXPECT_EQ(bare.out, "wavelength_nm,R,T,max_abs_dR_dd_per_nm,layer_of_max,A\n"
                        "500.0000,0.042579995,0.957420005,0.000000e+00,-1,0.000000000\n");
    const ToolRun absorbing = in_process({"--design", write_file("a.design", "2.1 0.05 60\nAg 20\n1.46 0 90\n"),
                                          "--range", "450", "650", "50", "--pol", "u", "--angle", "30"});
    ASSERT_EQ(absorbing.status, 0) << absorbing.err;
    const auto rows = csv_rows(absorbing.out);
    ASSERT_EQ(rows.size(), 1u + 5);
    for (size_t i = 1; i < rows.size(); ++i) {
        const double R = std::stod(rows[i][1]), T = std::stod(rows[i][2]), A = std::stod(rows[i][5]);
        EXPECT_GT(A, 0.01) << rows[i][0];
        EXPECT_NEAR(A, 1 - R - T, 1.5e-9) << rows[i][0];
    }
}

TEST(SpectrumTool, MediaByNameAndThickSubstrateFromTheCommandLine) {
    // Bare N-BK7 at the helium d line: ((1.51680 - 1) / 2.51680)^2.
    const ToolRun glass = in_process({"--design", write_file("bare.design", ""), "--substrate", "N-BK7", "--range",
                                      "587.5618", "587.5618", "1"});
    ASSERT_EQ(glass.status, 0) << glass.err;
    EXPECT_NEAR(std::stod(csv_rows(glass.out).at(1).at(1)), std::pow(0.5168 / 2.5168, 2), 1e-7);
    // The same part from a design file's statements and from options.
    const std::string back = write_file("back.design", "MgF2 99.6\n");
    const std::vector<std::string> grid = {"--range", "450", "650", "10", "--angle", "20", "--pol", "u"};
    std::vector<std::string> by_options = {"--design", write_file("front.design", "TiO2 50\nSiO2 90\n"),
                                           "--incident", "H2O", "--substrate", "fused_silica",
                                           "--substrate-thickness", "1", "--exit", "1.2", "--exit-k", "0",
                                           "--back", back};
    by_options.insert(by_options.end(), grid.begin(), grid.end());
    std::vector<std::string> by_file = {"--design",
                                        write_file("part.design", "incident H2O\nsubstrate fused_silica\n"
                                                                  "substrate_thickness 1\nexit 1.2 0\nTiO2 50\n"
                                                                  "SiO2 90\nback MgF2 99.6\n")};
    by_file.insert(by_file.end(), grid.begin(), grid.end());
    const ToolRun a = in_process(by_options), b = in_process(by_file);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, b.out);
    // Options override the file's statements; --back does not add to back lines.
    by_file.insert(by_file.end(), {"--substrate", "N-BK7", "--incident", "1"});
    EXPECT_NE(in_process(by_file).out, a.out);
    by_file.insert(by_file.end(), {"--back", back});
    EXPECT_EQ(in_process(by_file).err, "sardune-spectrum: --back: the design file has back lines already\n");
}

TEST(SpectrumTool, WrittenDesignGivesTheSameSpectrum) {
    const std::string materials = write_file("m.materials", "material H cauchy 2.2 0.02 0 k 0.001\n");
    const std::string design = write_file("d.design", "H 60\nSiO2 90.25\n1.9 0 1e-3\nAg 12\n");
    const std::string back = write_file("back.design", "MgF2 99.6\n");
    const std::string written = temp_path("written.design"), again = temp_path("again.design");
    const std::vector<std::string> grid = {"--range", "400", "800", "20", "--pol", "p", "--angle", "45"};
    std::vector<std::string> first = {"--design", design, "--materials", materials, "--substrate", "N-BK7",
                                      "--substrate-thickness", "1", "--back", back, "--write-design", written};
    first.insert(first.end(), grid.begin(), grid.end());
    const ToolRun a = in_process(first);
    ASSERT_EQ(a.status, 0) << a.err;
    std::vector<std::string> second = {"--design", written, "--write-design", again};
    second.insert(second.end(), grid.begin(), grid.end());
    const ToolRun b = in_process(second);
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(spectrum::read_bounded(written, 1 << 20), spectrum::read_bounded(again, 1 << 20));
    EXPECT_EQ(spectrum::read_bounded(written, 1 << 20),
              "# sardune design file: layers from the substrate up\nmaterial H cauchy 2.2 0.02 0 k 0.001\n"
              "incident 1\nsubstrate N-BK7\nsubstrate_thickness 1\nexit 1 0\n"
              "H 60\nSiO2 90.25\n1.9 0 0.001\nAg 12\nback MgF2 99.6\n");
    const ToolRun spaced = in_process({"--substrate", write_file("with space.yml", formula_file(5, "1.5")),
                                       "--write-design", written});
    EXPECT_EQ(spaced.status, 2);
    EXPECT_EQ(spaced.err.rfind("sardune-spectrum: --write-design: material ", 0), 0u) << spaced.err;
    const ToolRun unwritable = in_process({"--write-design", "/nonexistent/w.design"});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err, "sardune-spectrum: cannot write /nonexistent/w.design\n");
}

TEST(SpectrumTool, SensitivitiesFileHoldsEveryDerivativeInFullPrecision) {
    const std::string design = write_file("d.design", "2.0 0.01 120\n1.4 0 90\n2.2 0 70\nsubstrate_thickness 0.1\n");
    const std::string file = temp_path("s.csv");
    const ToolRun r = in_process({"--design", design, "--range", "500", "700", "100", "--sensitivities", file,
                                  "--angle", "30"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = csv_rows(spectrum::read_bounded(file, 1 << 20));
    ASSERT_EQ(rows.size(), 1u + 3);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"wavelength_nm", "R", "T", "dR_dd_0", "dR_dd_1", "dR_dd_2",
                                                 "dT_dd_0", "dT_dd_1", "dT_dd_2"}));
    spectrum::Setup s = setup_of(design_of("2.0 0.01 120\n1.4 0 90\n2.2 0 70\nsubstrate_thickness 0.1\n"));
    s.angle_deg = 30;
    const auto csv = csv_rows(r.out);
    for (size_t i = 1; i < rows.size(); ++i) {
        s.from_nm = s.to_nm = std::stod(rows[i][0]);
        const Point p = point_of(s);
        // Shortest round trips: the very values.
        EXPECT_EQ(std::stod(rows[i][1]), p.R);
        EXPECT_EQ(std::stod(rows[i][2]), p.T);
        double largest = 0;
        for (size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(std::stod(rows[i][3 + k]), p.dR[k]);
            EXPECT_EQ(std::stod(rows[i][6 + k]), p.dT[k]);
            largest = std::max(largest, std::abs(p.dR[k]));
        }
        EXPECT_NEAR(std::stod(csv[i][3]), largest, 1e-6 * largest);
    }
    // Nothing is left behind by a run that fails.
    const ToolRun failed = in_process({"--design", write_file("metal.design", "0.1 5 1e6\n"), "--sensitivities", file});
    EXPECT_EQ(failed.status, 1);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(in_process({"--sensitivities", "/nonexistent/s.csv"}).err,
              "sardune-spectrum: cannot write /nonexistent/s.csv\n");
}

TEST(SpectrumTool, PagesOfAUsersDatabaseByOptionOrEnvironment) {
    const fs::path root = temp_path("database");
    fs::create_directories(root / "data/main/Y/nk");
    std::ofstream(root / "data/main/Y/nk/Film.yml") << formula_file(5, "1.6");
    const std::string design = write_file("d.design", "material F database main/Y/nk/Film\nF 80\n");
    const std::string written = temp_path("w.design");
    const std::vector<std::string> args = {"--design", design, "--substrate", "main/Y/nk/Film", "--range", "500",
                                           "600", "50", "--write-design", written};
    std::vector<std::string> with_option = args;
    with_option.insert(with_option.end(), {"--database", root.string()});
    const ToolRun a = in_process(with_option);
    ASSERT_EQ(a.status, 0) << a.err;
    // The substrate's page becomes a material of the design, named after it.
    EXPECT_EQ(spectrum::read_bounded(written, 1 << 20),
              "# sardune design file: layers from the substrate up\nmaterial Film database main/Y/nk/Film\n"
              "material F database main/Y/nk/Film\nincident 1\nsubstrate Film\nF 80\n");
    setenv("SARDUNE_DATABASE", root.c_str(), 1);
    const ToolRun b = in_process(args);
    unsetenv("SARDUNE_DATABASE");
    EXPECT_EQ(b.out, a.out) << b.err;
    EXPECT_EQ(in_process(args).status, 2);
}

// ---------------------------------------------------------------- the program

ToolRun program(const std::string& args) {
    const std::string err_file = temp_path("stderr.txt");
    FILE* p = popen((std::string(SPECTRUM_TOOL) + " " + args + " 2>" + err_file).c_str(), "r");
    ToolRun r{};
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int raw = pclose(p);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream e(err_file);
    r.err.assign(std::istreambuf_iterator<char>(e), {});
    return r;
}

TEST(SpectrumProgram, DefaultRunPrintsTheWholeRangeAndASummary) {
    const ToolRun r = program("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out), 1 + 401);
    EXPECT_EQ(r.out.rfind("wavelength_nm,R,T,max_abs_dR_dd_per_nm,layer_of_max,A\n400.0000,", 0), 0u);
    EXPECT_EQ(r.err.rfind("peak R 0.99", 0), 0u) << r.err;
    EXPECT_EQ(lines(r.err), 1);
    EXPECT_EQ(program("--version").out, "sardune-spectrum " SARDUNE_VERSION "\n");
    EXPECT_NE(program("--help").out.find("--pol s|p|u"), std::string::npos);
}

TEST(SpectrumProgram, DesignWithMaterialsAndOptions) {
    const std::string materials = write_file("m.materials", "material L constant 1.38 0\n");
    const std::string design = write_file("d.design", "2.1 0 65\nL 99.6\nN-BK7 20\n");
    const ToolRun r = program("--design " + design + " --materials " + materials +
                              " --angle 40 --pol u --from 500 --to 600 --step 10 --threads 2");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out), 1 + 11);
}

TEST(SpectrumProgram, FailuresExitNonZeroWithoutOutput) {
    const std::string thick_metal = write_file("metal.design", "0.1 5 1e6\n");
    const std::string bad_bytes = write_file("bytes.design", "2.35 0 58\x9b" "31m\n");
    const std::pair<std::string, std::pair<int, std::string>> cases[] = {
        {"--design /dev/zero", {2, "sardune-spectrum: /dev/zero: larger than 16 MiB\n"}},
        {"--design " + bad_bytes, {2, "sardune-spectrum: " + bad_bytes + ":1: thickness: '\\x9b' is not allowed"}},
        {"--design " + thick_metal, {1, "sardune-spectrum: the result at 400 nm is not finite"}},
        {"--design ''", {2, "sardune-spectrum: --design: empty file name\n"}},
    };
    for (const auto& [args, expected] : cases) {
        const ToolRun r = program(args);
        EXPECT_EQ(r.status, expected.first) << args;
        EXPECT_TRUE(r.out.empty()) << args;
        EXPECT_EQ(r.err.rfind(expected.second, 0), 0u) << args << " -> " << r.err;
    }
}

}  // namespace

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

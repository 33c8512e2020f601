// The spectrum tool: its physics (energy conservation, the engine's
// coefficients), its design files and its command line.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "model.hpp"

namespace {

TEST(SpectrumModel, LosslessCoatingsConserveEnergyAtAnyAngleAndPolarisation) {
    spectrum::Setup s;
    s.layers = spectrum::default_design();
    for (auto& layer : s.layers) layer.k = 0.0;
    s.layers[3].thickness_nm *= 1.3;  // off quarter-wave, so nothing is special
    s.from_nm = 380, s.to_nm = 900, s.step_nm = 7;
    for (char pol : {'s', 'p'})
        for (double angle : {0.0, 25.0, 50.0, 75.0}) {
            s.polarisation = pol, s.angle_deg = angle;
            spectrum::Result r;
            ASSERT_EQ(spectrum::compute(s, r), 0);
            for (size_t i = 0; i < r.R.size(); ++i)
                EXPECT_NEAR(r.R[i] + r.T[i], 1.0, 1e-12) << pol << " " << angle << " " << r.wavelengths[i];
        }
}

TEST(SpectrumModel, AbsorptionTakesEnergyAndTheDefaultReflects) {
    spectrum::Setup s;
    s.layers = spectrum::default_design();
    s.from_nm = s.to_nm = 550;
    spectrum::Result r;
    ASSERT_EQ(spectrum::compute(s, r), 0);
    ASSERT_EQ(r.R.size(), 1u);
    EXPECT_GT(r.R[0], 0.99);
    EXPECT_LT(r.R[0] + r.T[0], 1.0);
    EXPECT_GT(r.R[0] + r.T[0], 0.99);
}

TEST(SpectrumModel, SensitivityMatchesAFiniteDifference) {
    spectrum::Setup s;
    s.layers = {{2.0, 0.01, 120}, {1.4, 0.0, 90}, {2.2, 0.0, 70}};
    s.from_nm = s.to_nm = 610;
    s.angle_deg = 30, s.polarisation = 'p';
    spectrum::Result r;
    ASSERT_EQ(spectrum::compute(s, r), 0);
    const int k = r.max_layer[0];
    const double h = 1e-4;
    spectrum::Setup up = s, down = s;
    up.layers[k].thickness_nm += h;
    down.layers[k].thickness_nm -= h;
    spectrum::Result ru, rd;
    spectrum::compute(up, ru);
    spectrum::compute(down, rd);
    EXPECT_NEAR(r.max_dR[0], std::abs(ru.R[0] - rd.R[0]) / (2 * h), 1e-7);
}

TEST(DesignFile, ParsesLayersCommentsAndBlankLines) {
    std::istringstream in("# substrate side first\n\n2.35 0.001 58.5\n  1.46 0 94.2  # low\n\t\n");
    std::string error;
    auto layers = spectrum::parse_design(in, "d.txt", error);
    ASSERT_TRUE(layers) << error;
    ASSERT_EQ(layers->size(), 2u);
    EXPECT_EQ((*layers)[1].n, 1.46);
    EXPECT_EQ((*layers)[0].k, 0.001);
    EXPECT_EQ((*layers)[1].thickness_nm, 94.2);
}

TEST(DesignFile, BadLinesNameFileLineAndField) {
    const std::pair<const char*, const char*> cases[] = {
        {"2.0 0 10\n2.0 x 10\n", "d.txt:2: extinction coefficient: 'x' is not a number"},
        {"2.0 0\n", "d.txt:1: expected 3 fields"},
        {"2.0 0 10 4\n", "d.txt:1: expected 3 fields"},
        {"\n2.0 0 -5\n", "d.txt:2: thickness: must not be negative"},
        {"0 0 5\n", "d.txt:1: index: must be positive"},
        {"1.5 -0.1 5\n", "d.txt:1: extinction coefficient: must not be negative"},
        {"1.5 0 nan\n", "d.txt:1: thickness: 'nan' is not a number"},
        {"# nothing\n", "d.txt: no layers"},
    };
    for (auto [text, message] : cases) {
        std::istringstream in(text);
        std::string error;
        EXPECT_FALSE(spectrum::parse_design(in, "d.txt", error)) << text;
        EXPECT_EQ(error.rfind(message, 0), 0u) << "got: " << error;
    }
}

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun run(const std::string& args) {
    // CTest runs the cases of this program in parallel processes.
    const std::string err_file = ::testing::TempDir() + "tool_stderr_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
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

int lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

TEST(SpectrumTool, DefaultRunPrintsTheWholeRangeAndASummary) {
    const ToolRun r = run("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out), 1 + 401);
    EXPECT_EQ(r.out.rfind("wavelength_nm,R,T,max_abs_dR_dd_per_nm,layer_of_max\n400.0000,", 0), 0u);
    EXPECT_NE(r.err.find("peak R 0.99"), std::string::npos) << r.err;
    EXPECT_EQ(lines(r.err), 1);
}

TEST(SpectrumTool, DesignFileAndOptions) {
    const std::string path = ::testing::TempDir() + "two_layers.txt";
    std::ofstream(path) << "2.1 0 65\n1.38 0 99.6\n";
    const ToolRun r = run("--design " + path + " --angle 40 --pol p --from 500 --to 600 --step 10 --threads 2");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out), 1 + 11);
}

TEST(SpectrumTool, BadInputIsReportedWithStatusTwoAndNoOutput) {
    const std::string bad = ::testing::TempDir() + "bad_design.txt";
    std::ofstream(bad) << "2.1 0 65\n1.38 0 -3\n";
    const std::pair<std::string, std::string> cases[] = {
        {"--design /nonexistent/design.txt", "/nonexistent/design.txt: cannot open"},
        {"--design " + bad, bad + ":2: thickness: must not be negative"},
        {"--from -400", "--from: wavelength must be positive"},
        {"--from 0", "--from: wavelength must be positive"},
        {"--step 0", "--step: must be positive"},
        {"--colour red", "unknown option '--colour'"},
        {"--pol q", "--pol: expected s or p"},
        {"--angle", "option --angle needs a value"},
        {"--angle ten", "--angle: 'ten' is not a number"},
    };
    for (const auto& [args, message] : cases) {
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_TRUE(r.out.empty()) << args;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << " -> " << r.err;
    }
}

}  // namespace

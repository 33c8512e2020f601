#include "tool.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "model.hpp"
#include "sardune.h"
#include "text.hpp"

namespace spectrum {

namespace {

const char* const usage =
    "usage: sardune-spectrum [options]\n"
    "  --design FILE      the coating, from the substrate up, one layer per line:\n"
    "                     'N K THICKNESS' or 'MATERIAL THICKNESS' (nm), with\n"
    "                     'material NAME MODEL ...' definitions (default: 19-layer\n"
    "                     quarter-wave reflector at 550 nm)\n"
    "  --materials FILE   material definitions known to the design file\n"
    "  --angle DEG        angle of incidence, 0 <= DEG < 90 (default 0)\n"
    "  --pol s|p|u        polarisation; u: unpolarised, the mean of s and p (default s)\n"
    "  --incident N       index of the lossless incident medium, 0 < N <= 100 (default 1)\n"
    "  --substrate N      index of the substrate, 0 < N <= 100 (default 1.52)\n"
    "  --substrate-k K    extinction coefficient of the substrate, 0 <= K <= 100 (default 0)\n"
    "  --from NM --to NM --step NM\n"
    "                     wavelength range, 1 to 1e6 nm, step 1e-4 to 1e6 nm, at most\n"
    "                     1000000 wavelengths (default 400 to 800 by 1)\n"
    "  --threads T        worker threads, 0 for automatic, at most 1024 (default 0)\n"
    "  --version, --help\n"
    "Columns: wavelength_nm,R,T,max_abs_dR_dd_per_nm,layer_of_max. Exit status 0,\n"
    "1 (not enough memory, a result that cannot be evaluated), 2 (bad input).\n";

// Bounds of the options, physically meaningful and within what the engine
// evaluates in double precision.
constexpr double min_wavelength_nm = 1.0, max_wavelength_nm = 1e6;
constexpr double min_step_nm = 1e-4;  // the CSV shows wavelengths to 1e-4 nm
constexpr size_t max_wavelengths = 1000000;
constexpr int max_threads = 1024;

struct Options {
    Setup setup;
    std::string design, materials;
    bool has_design = false, has_materials = false;
};

[[noreturn]] void bad(const std::string& option, const std::string& problem) {
    throw InputError(option + ": " + problem);
}

double number_option(const std::string& option, const char* text) {
    double v = 0;
    const NumberStatus status = parse_number(text, v);
    if (status != NumberStatus::ok) bad(option, number_problem(text, status));
    return v;
}

void in_range(const std::string& option, double v, bool ok, const char* range) {
    if (!ok) bad(option, shortest(v) + " is outside " + range);
}

// Returns false when the run is only --help or --version, already answered.
bool parse_options(int argc, const char* const* argv, std::ostream& out, Options& o) {
    Setup& s = o.setup;
    double substrate_n = s.substrate_index.real(), substrate_k = 0.0;
    for (int a = 1; a < argc; ++a) {
        const std::string opt = argv[a];
        if (opt == "--help" || opt == "-h") {
            out << usage;
            return false;
        }
        if (opt == "--version") {
            out << "sardune-spectrum " SARDUNE_VERSION "\n";
            return false;
        }
        static const char* const valued[] = {"--design", "--materials", "--angle", "--pol",
                                             "--incident", "--substrate", "--substrate-k", "--from",
                                             "--to", "--step", "--threads"};
        if (std::none_of(std::begin(valued), std::end(valued), [&](const char* v) { return opt == v; }))
            throw InputError("unknown option '" + escaped(opt) + "' (see --help)");
        if (a + 1 >= argc) throw InputError("option " + opt + " needs a value");
        const char* value = argv[++a];
        if (opt == "--design" || opt == "--materials") {
            if (*value == '\0') bad(opt, "empty file name");
            (opt == "--design" ? o.design : o.materials) = value;
            (opt == "--design" ? o.has_design : o.has_materials) = true;
        } else if (opt == "--pol") {
            if (std::strcmp(value, "s") != 0 && std::strcmp(value, "p") != 0 && std::strcmp(value, "u") != 0)
                bad(opt, "expected s, p or u, found '" + escaped(value) + "'");
            s.polarisation = value[0];
        } else if (opt == "--threads") {
            const double t = number_option(opt, value);
            if (t != std::floor(t) || t < 0 || t > max_threads) bad(opt, "expected a whole number from 0 to 1024");
            s.threads = static_cast<int>(t);
        } else {
            double* target = opt == "--angle"       ? &s.angle_deg
                             : opt == "--incident"  ? &s.incident_index
                             : opt == "--substrate" ? &substrate_n
                             : opt == "--substrate-k" ? &substrate_k
                             : opt == "--from"      ? &s.from_nm
                             : opt == "--to"        ? &s.to_nm
                                                    : &s.step_nm;
            *target = number_option(opt, value);
        }
    }
    in_range("--angle", s.angle_deg, s.angle_deg >= 0 && s.angle_deg < 90, "0 <= angle < 90 degrees");
    in_range("--incident", s.incident_index, index_problem(s.incident_index).empty(), "0 < n <= 100");
    in_range("--substrate", substrate_n, index_problem(substrate_n).empty(), "0 < n <= 100");
    in_range("--substrate-k", substrate_k, extinction_problem(substrate_k).empty(), "0 <= k <= 100");
    for (const auto& [option, v] : {std::pair{"--from", s.from_nm}, std::pair{"--to", s.to_nm}})
        in_range(option, v, v >= min_wavelength_nm && v <= max_wavelength_nm, "1 to 1e6 nm");
    if (s.to_nm < s.from_nm) bad("--to", shortest(s.to_nm) + " nm is below --from " + shortest(s.from_nm) + " nm");
    in_range("--step", s.step_nm, s.step_nm >= min_step_nm && s.step_nm <= max_wavelength_nm, "1e-4 to 1e6 nm");
    if (wavelength_count(s.from_nm, s.to_nm, s.step_nm) > max_wavelengths)
        bad("--step", "more than 1000000 wavelengths from --from to --to");
    s.substrate_index = {substrate_n, -substrate_k};
    if (o.has_materials && !o.has_design) bad("--materials", "only read together with --design");
    return true;
}

// "\rN of M wavelengths" on standard error during a long run, erased at the end.
class ProgressLine {
public:
    ProgressLine(std::ostream& err, double after_seconds) : err_(err), after_(after_seconds) {}
    void update(size_t done, size_t total) {
        if (after_ < 0) return;
        const auto now = clock::now();
        if (now - start_ < std::chrono::duration<double>(after_) || (shown_ && now - last_ < std::chrono::milliseconds(200)))
            return;
        char line[96];
        std::snprintf(line, sizeof line, "\rsardune-spectrum: %zu of %zu wavelengths", done, total);
        err_ << line << std::flush;
        shown_ = true, last_ = now;
    }
    void erase() {
        if (shown_) err_ << "\r                                                                  \r";
        shown_ = false;
    }

private:
    using clock = std::chrono::steady_clock;
    std::ostream& err_;
    const double after_;
    const clock::time_point start_ = clock::now();
    clock::time_point last_;
    bool shown_ = false;
};

void write_csv(const Result& r, std::ostream& out) {
    out << "wavelength_nm,R,T,max_abs_dR_dd_per_nm,layer_of_max\n";
    char line[160];
    for (size_t i = 0; i < r.R.size(); ++i) {
        const int n = std::snprintf(line, sizeof line, "%.4f,%.9f,%.9f,%.6e,%d\n", r.wavelengths[i], r.R[i], r.T[i],
                                    r.max_dR[i], r.max_layer[i]);
        out.write(line, n);
    }
}

// A reflector: the band where R stays above half its peak around the peak.
// A low reflector (peak below 0.5): the mean and maximum R over the range.
void summarise(const Result& r, std::ostream& err) {
    const size_t n = r.R.size();
    size_t peak = 0;
    double sum = 0;
    for (size_t i = 0; i < n; ++i) {
        if (r.R[i] > r.R[peak]) peak = i;
        sum += r.R[i];
    }
    char line[200];
    if (r.R[peak] < 0.5) {
        std::snprintf(line, sizeof line, "mean R %.6f, maximum R %.6f at %.2f nm, over %.2f to %.2f nm\n", sum / n,
                      r.R[peak], r.wavelengths[peak], r.wavelengths.front(), r.wavelengths.back());
    } else {
        size_t lo = peak, hi = peak;
        while (lo > 0 && r.R[lo - 1] >= r.R[peak] / 2) --lo;
        while (hi + 1 < n && r.R[hi + 1] >= r.R[peak] / 2) ++hi;
        std::snprintf(line, sizeof line, "peak R %.6f at %.2f nm; band above half peak %.2f to %.2f nm\n", r.R[peak],
                      r.wavelengths[peak], r.wavelengths[lo], r.wavelengths[hi]);
    }
    err << line;
}

// A full disk or a closed pipe is a failure, not a success.
int written(std::ostream& out, std::ostream& err) {
    out.flush();
    if (out) return 0;
    err << "sardune-spectrum: cannot write the output\n";
    return 1;
}

int run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, ProgressLine& progress) {
    Options o;
    if (!parse_options(argc, argv, out, o)) return written(out, err);
    if (o.has_design) {
        o.setup.design = empty_design();
        if (o.has_materials) read_materials_file(o.materials, o.setup.design);
        read_design_file(o.design, o.setup.design);
    } else {
        o.setup.design = default_design();
    }
    const Result r = compute(o.setup, [&](size_t done, size_t total) { progress.update(done, total); });
    progress.erase();
    write_csv(r, out);
    if (written(out, err) != 0) return 1;
    summarise(r, err);
    return 0;
}

}  // namespace

int run_tool(int argc, const char* const* argv, std::ostream& out, std::ostream& err, double progress_after_seconds) {
    ProgressLine progress(err, progress_after_seconds);
    // Each message is the exception's own text or a literal: reporting
    // allocates nothing, not even when memory has run out.
    auto report = [&](const char* message, int status) {
        progress.erase();
        err << "sardune-spectrum: " << message << '\n';
        return status;
    };
    try {
        return run(argc, argv, out, err, progress);
    } catch (const InputError& e) {
        return report(e.what(), 2);
    } catch (const ComputeError& e) {
        return report(e.what(), 1);
    } catch (const std::bad_alloc&) {
        return report("not enough memory", 1);
    } catch (const std::length_error&) {  // a size beyond what can be allocated
        return report("not enough memory", 1);
    } catch (const std::exception& e) {
        return report(e.what(), 1);
    }
}

}  // namespace spectrum

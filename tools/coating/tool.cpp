#include "tool.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <optional>
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
    "                     'material NAME MODEL ...' definitions and the media\n"
    "                     (default: 19-layer quarter-wave reflector at 550 nm)\n"
    "  --materials FILE   material definitions known to the design file\n"
    "  --database DIR     a copy of the optical-constants database, whose pages\n"
    "                     (main/SiO2/nk/Gao) name materials ($SARDUNE_DATABASE)\n"
    "  --angle DEG        angle of incidence, 0 <= DEG < 90 (default 0)\n"
    "  --pol s|p|u        polarisation; u: unpolarised, the mean of s and p\n"
    "                     (default s)\n"
    "  --incident N|NAME  the lossless incident medium, 0 < N <= 100 (default 1)\n"
    "  --substrate N|NAME the substrate, 0 < N <= 100 (default 1.52)\n"
    "  --substrate-k K    extinction coefficient of a substrate given by N,\n"
    "                     0 <= K <= 100 (default 0)\n"
    "  --substrate-thickness MM\n"
    "                     a thick substrate, 0 < MM <= 1000, its faces combined\n"
    "                     incoherently (default: semi-infinite)\n"
    "  --exit N|NAME      the medium behind a thick substrate (default: the incident)\n"
    "  --exit-k K         extinction coefficient of an exit medium given by N\n"
    "  --back FILE        the layers on a thick substrate's back face, from it\n"
    "                     outwards\n"
    "  --from NM --to NM --step NM, or --range START STOP STEP\n"
    "                     wavelength range, 1 to 1e6 nm, step 1e-4 to 1e6 nm, at most\n"
    "                     1000000 wavelengths (default 400 to 800 by 1)\n"
    "  --extrapolate      evaluate materials beyond the wavelengths of their data\n"
    "  --threads T        worker threads, 0 for automatic, at most 1024 (default 0)\n"
    "  --write-design FILE\n"
    "                     write the design as computed, in the design-file grammar\n"
    "  --sensitivities FILE\n"
    "                     write R, T and every dR/dd_k, dT/dd_k (per nm) as CSV\n"
    "  --version, --help\n"
    "NAME: a built-in material (SiO2, TiO2, ..., N-BK7, fused_silica), one of the\n"
    "design file, a database page or a .yml data file. Columns:\n"
    "wavelength_nm,R,T,max_abs_dR_dd_per_nm,layer_of_max,A. Exit status 0, 1 (not\n"
    "enough memory, a result that cannot be evaluated, output not written), 2 (bad\n"
    "input).\n";

// Bounds of the options, physically meaningful and within what the engine
// evaluates in double precision.
constexpr double min_wavelength_nm = 1.0, max_wavelength_nm = 1e6;
constexpr double min_step_nm = 1e-4;  // the CSV shows wavelengths to 1e-4 nm
constexpr size_t max_wavelengths = 1000000;
constexpr int max_threads = 1024;

// A medium as the command line gives it: its text, and k for a number.
struct MediumOption {
    std::optional<std::string> text;
    std::optional<double> k;
};

struct Options {
    Setup setup;
    std::optional<std::string> design, materials, back, database, write_design, sensitivities;
    MediumOption incident, substrate, exit;
    std::optional<double> substrate_thickness_mm;
    bool range = false;  // the grid from --range
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
        if (opt == "--extrapolate") {
            s.extrapolate = true;
            continue;
        }
        static const char* const valued[] = {
            "--design", "--materials",   "--back",    "--database", "--write-design", "--sensitivities",
            "--angle",  "--pol",         "--incident", "--substrate", "--substrate-k", "--substrate-thickness",
            "--exit",   "--exit-k",      "--from",    "--to",       "--step",         "--range",
            "--threads"};
        if (std::none_of(std::begin(valued), std::end(valued), [&](const char* v) { return opt == v; }))
            throw InputError("unknown option '" + escaped(opt) + "' (see --help)");
        const int values = opt == "--range" ? 3 : 1;
        if (a + values >= argc)
            throw InputError("option " + opt + (values == 1 ? " needs a value" : " needs START STOP STEP"));
        const char* value = argv[++a];
        std::optional<std::string>* file = opt == "--design"          ? &o.design
                                           : opt == "--materials"     ? &o.materials
                                           : opt == "--back"          ? &o.back
                                           : opt == "--database"      ? &o.database
                                           : opt == "--write-design"  ? &o.write_design
                                           : opt == "--sensitivities" ? &o.sensitivities
                                                                      : nullptr;
        MediumOption* medium = opt == "--incident" ? &o.incident : opt == "--substrate" ? &o.substrate
                               : opt == "--exit"   ? &o.exit
                                                   : nullptr;
        if (file != nullptr) {
            if (*value == '\0') bad(opt, opt == "--database" ? "empty folder name" : "empty file name");
            *file = value;
        } else if (medium != nullptr) {
            if (*value == '\0') bad(opt, "empty medium");
            medium->text = value;
        } else if (opt == "--pol") {
            if (std::strcmp(value, "s") != 0 && std::strcmp(value, "p") != 0 && std::strcmp(value, "u") != 0)
                bad(opt, "expected s, p or u, found '" + escaped(value) + "'");
            s.polarisation = value[0];
        } else if (opt == "--threads") {
            const double t = number_option(opt, value);
            if (t != std::floor(t) || t < 0 || t > max_threads) bad(opt, "expected a whole number from 0 to 1024");
            s.threads = static_cast<int>(t);
        } else if (opt == "--range") {
            s.from_nm = number_option(opt, value);
            s.to_nm = number_option(opt, argv[++a]);
            s.step_nm = number_option(opt, argv[++a]);
            o.range = true;
        } else if (opt == "--substrate-k" || opt == "--exit-k") {
            (opt == "--substrate-k" ? o.substrate.k : o.exit.k) = number_option(opt, value);
        } else if (opt == "--substrate-thickness") {
            o.substrate_thickness_mm = number_option(opt, value);
        } else {
            // --range gives the grid whatever the order, as it does for the plot.
            double* target = opt == "--angle" ? &s.angle_deg : opt == "--from" ? &s.from_nm
                             : opt == "--to"  ? &s.to_nm
                                              : &s.step_nm;
            const double v = number_option(opt, value);
            if (!(o.range && target != &s.angle_deg)) *target = v;
        }
    }
    in_range("--angle", s.angle_deg, s.angle_deg >= 0 && s.angle_deg < 90, "0 <= angle < 90 degrees");
    const std::string from = o.range ? "--range" : "--from", to = o.range ? "--range" : "--to",
                      step = o.range ? "--range" : "--step";
    for (const auto& [option, v] : {std::pair{from, s.from_nm}, std::pair{to, s.to_nm}})
        in_range(option, v, v >= min_wavelength_nm && v <= max_wavelength_nm, "1 to 1e6 nm");
    if (s.to_nm < s.from_nm)
        bad(to, (o.range ? "STOP " : "") + shortest(s.to_nm) + " nm is below " + (o.range ? "START " : "--from ") +
                    shortest(s.from_nm) + " nm");
    in_range(step, s.step_nm, s.step_nm >= min_step_nm && s.step_nm <= max_wavelength_nm, "1e-4 to 1e6 nm");
    if (wavelength_count(s.from_nm, s.to_nm, s.step_nm) > max_wavelengths)
        bad(step, "more than 1000000 wavelengths from " + (o.range ? std::string("START to STOP") : "--from to --to"));
    if (o.substrate_thickness_mm)
        in_range("--substrate-thickness", *o.substrate_thickness_mm,
                 *o.substrate_thickness_mm > 0 && *o.substrate_thickness_mm <= max_substrate_thickness_mm,
                 "0 < MM <= 1000");
    for (const auto& [option, k] : {std::pair{"--substrate-k", o.substrate.k}, std::pair{"--exit-k", o.exit.k}})
        if (k) in_range(option, *k, extinction_problem(*k).empty(), "0 <= k <= 100");
    if (o.materials && !o.design) bad("--materials", "only read together with --design");
    return true;
}

// The design as read, with what the command line gives in place of its own.
Design assemble(const Options& o) {
    Design d = o.design ? empty_design() : default_design();
    if (o.database) {
        d.database = *o.database;
    } else if (const char* env = std::getenv("SARDUNE_DATABASE"); env != nullptr && *env != '\0') {
        d.database = env;
    }
    if (!d.database.empty()) {
        struct stat info {};
        const std::string data = d.database + "/data";
        if (stat(data.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            bad(o.database ? "--database" : "SARDUNE_DATABASE",
                "'" + escaped(d.database) + "' holds no data/ folder, as a copy of the database does");
    }
    if (o.materials) read_materials_file(*o.materials, d);
    if (o.design) read_design_file(*o.design, d);
    if (o.back) {
        if (!d.back.empty()) bad("--back", "the design file has back lines already");
        read_back_file(*o.back, d);
    }
    // Media: a number is range-checked like a design file's, a name resolved among the design's.
    auto medium = [&d](const MediumOption& m, Medium& target, const std::string& option, const char* k_option) {
        if (m.text) {
            target = medium_option(d, *m.text, m.k.value_or(0.0), option);
            if (target.material < 0) in_range(option, target.n, index_problem(target.n).empty(), "0 < n <= 100");
        } else if (m.k) {
            target.k = *m.k;
        }
        if (m.k && target.material >= 0)
            bad(k_option, "only for a medium given by its index (" + option + " N)");
    };
    medium(o.incident, d.incident, "--incident", "--incident");
    medium(o.substrate, d.substrate, "--substrate", "--substrate-k");
    if (o.substrate_thickness_mm) d.substrate_thickness_mm = *o.substrate_thickness_mm;
    if (o.exit.text || o.exit.k) {
        if (!d.exit_given) d.exit = d.incident;
        medium(o.exit, d.exit, "--exit", "--exit-k");
        d.exit_given = true;
    }
    if (!d.thick()) {
        if (o.exit.text || o.exit.k) bad("--exit", "only behind a thick substrate (--substrate-thickness MM)");
        if (o.back) bad("--back", "only on a thick substrate (--substrate-thickness MM)");
    }
    return d;
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
    out << "wavelength_nm,R,T,max_abs_dR_dd_per_nm,layer_of_max,A\n";
    char line[200];
    for (size_t i = 0; i < r.R.size(); ++i) {
        // A: what the coating (and a thick substrate) absorbs.
        const double A = 1 - r.R[i] - r.T[i];
        const int n = std::snprintf(line, sizeof line, "%.4f,%.9f,%.9f,%.6e,%d,%.9f\n", r.wavelengths[i], r.R[i],
                                    r.T[i], r.max_dR[i], r.max_layer[i], A);
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

// A failure to write a file, reported with status 1.
struct WriteError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void write_file(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    if (!file) throw WriteError("cannot write " + escaped(path));
}

// R, T and every derivative in full precision (shortest round trip), one
// row per wavelength; removed again when the run fails.
class SensitivitiesFile {
public:
    SensitivitiesFile(const std::string& path, size_t layers) : path_(path), file_(path, std::ios::binary) {
        std::string header = "wavelength_nm,R,T";
        for (const char* d : {"dR", "dT"})
            for (size_t k = 0; k < layers; ++k) header += std::string(",") + d + "_dd_" + std::to_string(k);
        file_ << header << '\n';
        if (!file_) {
            std::remove(path_.c_str());
            check();
        }
    }
    ~SensitivitiesFile() {
        if (!done_) {
            file_.close();
            std::remove(path_.c_str());
        }
    }
    void write(const Batch& b) {
        std::string row;
        for (size_t i = 0; i < b.count; ++i) {
            row = round_trip(b.wavelengths[i]) + "," + round_trip(b.R[i]) + "," + round_trip(b.T[i]);
            for (const double* d : {b.dR, b.dT})
                for (size_t k = 0; k < b.layers; ++k) row += "," + round_trip(d[k * b.count + i]);
            file_ << row << '\n';
        }
        check();
    }
    void close() {
        file_.close();
        check();
        done_ = true;
    }

private:
    void check() {
        if (!file_) throw WriteError("cannot write " + escaped(path_));
    }
    const std::string path_;
    std::ofstream file_;
    bool done_ = false;
};

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
    o.setup.design = assemble(o);
    if (o.write_design) {
        std::string text;
        try {
            text = write_design(o.setup.design);
        } catch (const InputError& e) {
            bad("--write-design", e.what());
        }
        write_file(*o.write_design, text);
    }
    std::optional<SensitivitiesFile> sensitivities;
    if (o.sensitivities) sensitivities.emplace(*o.sensitivities, o.setup.design.layers.size());
    const Result r = compute(
        o.setup, [&](size_t done, size_t total) { progress.update(done, total); },
        sensitivities ? BatchSink([&](const Batch& b) { sensitivities->write(b); }) : BatchSink());
    if (sensitivities) sensitivities->close();
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
    } catch (const WriteError& e) {
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

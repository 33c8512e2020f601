// sardune-spectrum: reflectance, transmittance and the largest thickness
// sensitivity of a coating over a wavelength range, as CSV on standard
// output, with a one-line summary on standard error.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

#include "model.hpp"

namespace {

const char* const usage =
    "usage: sardune-spectrum [options]\n"
    "  --design FILE      layers from the substrate up: index, extinction coefficient,\n"
    "                     thickness in nm per line (default: 19-layer quarter-wave\n"
    "                     reflector at 550 nm)\n"
    "  --angle DEG        angle of incidence in degrees (default 0)\n"
    "  --pol s|p          polarisation (default s)\n"
    "  --incident N       index of the incident medium (default 1.0)\n"
    "  --substrate N      index of the substrate (default 1.52)\n"
    "  --substrate-k K    extinction coefficient of the substrate (default 0)\n"
    "  --from NM --to NM --step NM   wavelength range (default 400 to 800 by 1)\n"
    "  --threads T        worker threads, 0 for automatic (default 0)\n"
    "  --help\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "sardune-spectrum: %s\n", message.c_str());
    return 2;
}

bool number(const char* text, double& v) {
    char* end = nullptr;
    v = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(v);
}

// Band edges: the wavelengths where R falls below half its peak on either
// side of the peak.
void summarise(const spectrum::Result& r) {
    size_t peak = 0;
    for (size_t i = 1; i < r.R.size(); ++i)
        if (r.R[i] > r.R[peak]) peak = i;
    size_t lo = peak, hi = peak;
    while (lo > 0 && r.R[lo - 1] >= r.R[peak] / 2) --lo;
    while (hi + 1 < r.R.size() && r.R[hi + 1] >= r.R[peak] / 2) ++hi;
    std::fprintf(stderr, "peak R %.6f at %.2f nm; band above half peak %.2f to %.2f nm\n", r.R[peak],
                 r.wavelengths[peak], r.wavelengths[lo], r.wavelengths[hi]);
}

}  // namespace

int main(int argc, char** argv) {
    spectrum::Setup s;
    std::string design;
    double substrate_n = s.substrate_index.real(), substrate_k = 0.0;
    for (int a = 1; a < argc; ++a) {
        const std::string opt = argv[a];
        if (opt == "--help" || opt == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        double* target = nullptr;
        if (opt == "--angle") target = &s.angle_deg;
        else if (opt == "--incident") target = &s.incident_index;
        else if (opt == "--substrate") target = &substrate_n;
        else if (opt == "--substrate-k") target = &substrate_k;
        else if (opt == "--from") target = &s.from_nm;
        else if (opt == "--to") target = &s.to_nm;
        else if (opt == "--step") target = &s.step_nm;
        else if (opt != "--design" && opt != "--pol" && opt != "--threads")
            return fail("unknown option '" + opt + "' (see --help)");
        if (a + 1 >= argc) return fail("option " + opt + " needs a value");
        const char* value = argv[++a];
        double v = 0;
        if (opt == "--design") {
            design = value;
        } else if (opt == "--pol") {
            if (std::strcmp(value, "s") != 0 && std::strcmp(value, "p") != 0)
                return fail("--pol: expected s or p, found '" + std::string(value) + "'");
            s.polarisation = value[0];
        } else if (!number(value, v)) {
            return fail(opt + ": '" + value + "' is not a number");
        } else if (opt == "--threads") {
            if (v != std::floor(v) || v < 0 || v > 1024) return fail("--threads: expected 0 to 1024");
            s.threads = static_cast<int>(v);
        } else {
            *target = v;
        }
    }
    if (s.from_nm <= 0) return fail("--from: wavelength must be positive");
    if (s.to_nm < s.from_nm) return fail("--to: must not be below --from");
    if (s.step_nm <= 0) return fail("--step: must be positive");
    if ((s.to_nm - s.from_nm) / s.step_nm > 1e7) return fail("--step: more than ten million wavelengths");
    if (s.incident_index <= 0) return fail("--incident: index must be positive");
    if (substrate_n <= 0) return fail("--substrate: index must be positive");
    if (substrate_k < 0) return fail("--substrate-k: must not be negative");
    if (std::fabs(s.angle_deg) >= 90) return fail("--angle: must lie strictly between -90 and 90 degrees");
    s.substrate_index = {substrate_n, -substrate_k};

    if (design.empty()) {
        s.layers = spectrum::default_design();
    } else {
        std::ifstream in(design);
        if (!in) return fail(design + ": cannot open: " + std::strerror(errno));
        std::string error;
        auto layers = spectrum::parse_design(in, design, error);
        if (!layers) return fail(error);
        s.layers = *layers;
    }

    spectrum::Result r;
    try {
        if (const int status = spectrum::compute(s, r); status != 0) {
            std::fprintf(stderr, "sardune-spectrum: the engine failed (status %d)\n", status);
            return 1;
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "sardune-spectrum: not enough memory for this wavelength range and design\n");
        return 1;
    }
    std::printf("wavelength_nm,R,T,max_abs_dR_dd_per_nm,layer_of_max\n");
    for (size_t i = 0; i < r.R.size(); ++i)
        std::printf("%.4f,%.9f,%.9f,%.6e,%d\n", r.wavelengths[i], r.R[i], r.T[i], r.max_dR[i], r.max_layer[i]);
    summarise(r);
    return 0;
}

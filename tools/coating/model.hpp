// The spectrum tool's model: a design read from a file (or the built-in
// default), the measurement set-up, and R, T and dR/dd over a wavelength grid
// computed through the engine's C interface.
#pragma once

#include <complex>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace spectrum {

using cplx = std::complex<double>;

struct Layer {
    double n, k, thickness_nm;  // complex index n - ik
};

struct Setup {
    std::vector<Layer> layers;  // from the substrate up
    double incident_index = 1.0;
    cplx substrate_index{1.52, 0.0};
    double angle_deg = 0.0;
    char polarisation = 's';
    double from_nm = 400.0, to_nm = 800.0, step_nm = 1.0;
    int threads = 0;
};

// A 19-layer quarter-wave high reflector centred at 550 nm on glass, H first
// and last, with a little absorption.
std::vector<Layer> default_design();

// One layer per line (index, extinction coefficient, thickness in nm), from
// the substrate up; blank lines and # comments allowed. On failure `error`
// names the source, line and field.
std::optional<std::vector<Layer>> parse_design(std::istream& in, const std::string& source, std::string& error);

// Tilted admittance in free-space units for angle invariant x.
cplx admittance(cplx index, double x, char polarisation);

struct Result {
    std::vector<double> wavelengths, R, T;
    std::vector<double> max_dR;    // largest |dR/dd_k| over layers, per nm
    std::vector<int> max_layer;    // the layer k where it occurs
};

// Every wavelength of [from, to] by step. Returns the engine's status.
int compute(const Setup& setup, Result& out);

std::vector<double> wavelength_grid(double from, double to, double step);

}  // namespace spectrum

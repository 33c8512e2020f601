// The spectrum tool's model: the measurement set-up, and R, T, their
// thickness derivatives and the largest dR/dd over a wavelength grid,
// computed through the engine's C interface in wavelength batches of bounded
// memory; a thick substrate's two faces combine incoherently.
#pragma once

#include <complex>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <vector>

#include "design_file.hpp"

namespace spectrum {

using cplx = std::complex<double>;

struct Setup {
    Design design;             // media and layers
    double angle_deg = 0.0;    // in the incident medium, [0, 90)
    char polarisation = 's';   // s, p, or u: the mean of s and p
    double from_nm = 400.0, to_nm = 800.0, step_nm = 1.0;
    int threads = 0;
    int batch = 0;  // wavelengths per engine request; 0: what the memory budget allows
    bool extrapolate = false;  // evaluate materials beyond the wavelengths of their data
};

// The incident medium's index n0, the angle invariant x = n0 sin(theta), the
// normal component n0 cos(theta) and cos(theta) itself, taken apart so that
// grazing angles keep their precision.
struct Incidence {
    double index, x, normal, cosine;
};
Incidence incidence(double index, double angle_deg);

// Tilted admittance in free-space units of a medium of index n - ik,
// polarisation 's' or 'p'.
cplx admittance(cplx index, const Incidence& in, char polarisation);

// The incident medium's own: n0 cos(theta) for s, n0 / cos(theta) for p,
// from the cosine itself.
double incident_admittance(const Incidence& in, char polarisation);

size_t wavelength_count(double from, double to, double step);
std::vector<double> wavelength_grid(double from, double to, double step);

struct Result {
    std::vector<double> wavelengths, R, T;
    std::vector<double> max_dR;    // largest |dR/dd_k| over layers, per nm
    std::vector<int> max_layer;    // the layer k where it occurs; -1 without layers
};

// Every derivative of one batch: dR/dd_k and dT/dd_k per nm of the front
// layers, layer-major ([k * count + i]).
struct Batch {
    const double* wavelengths;
    size_t count, layers;
    const double *R, *T, *dR, *dT;
};
using BatchSink = std::function<void(const Batch&)>;

// Something the engine could not evaluate (a non-finite result) or refused.
struct ComputeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Called after each batch with the wavelengths done and their total.
using Progress = std::function<void(size_t done, size_t total)>;

// Every wavelength of [from, to] by step; `sink` receives every derivative,
// batch by batch. Throws InputError when a material leaves its bounds or its
// data at a wavelength, ComputeError for a non-finite result, std::bad_alloc
// when memory runs out (in the tool or the engine).
Result compute(const Setup& setup, const Progress& progress = {}, const BatchSink& sink = {});

}  // namespace spectrum

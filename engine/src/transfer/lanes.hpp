// What a four-lane kernel hands to the C-library arithmetic: one wavelength
// (a lane) whose inputs the vector formulas cannot honour exactly. Plain
// functions over (re, im) pairs of doubles, defined in a baseline unit, so
// that the vector units instantiate nothing of the library's complex type.
//
// A lane is special when an input is not finite (index, admittance,
// thickness, wavelength, x), |Re delta| lies beyond the vector sine-cosine's
// range (1e5), |Im delta| beyond the exponential's (700), |n^2 - x^2|^2 or
// |eta|^2 outside [1e-290, 1e290] (this covers a zero admittance), and, for
// coefficients, when D or the substrate admittance is zero, not finite or
// beyond the range of the scaled reciprocal.
#pragma once

namespace sardune::transfer::lanes {

// C, u, v of the stack-matrix layer (6 doubles).
void stack_layer(const double* n, const double* eta, double d, double lambda, double x2, double* out);
// L and dL/dd, entries 00 01 10 11 each (16 doubles), as the sweeps form them.
void sweep_layer(const double* n, const double* eta, double d, double lambda, double x2, double* out);
// The same as the partial coatings form them.
void partial_layer(const double* n, const double* eta, double d, double lambda, double x2, double* out);

// t, t', r, r' of a stack matrix M (entries 00 01 10 11; 8 doubles out) and
// the derivative factors for t, r, r' (6 doubles out).
void coefficients(const double* M, const double* eta0, const double* eta_s, double* c, double* factors);
// dt, dr, dr' for a change X of the stack matrix (6 doubles out).
void coefficient_changes(const double* X, const double* factors, const double* c, const double* eta0,
                         const double* eta_s, double* out);
// 1/z.
void reciprocal(const double* z, double* out);

}  // namespace sardune::transfer::lanes

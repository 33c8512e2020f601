// The independent reference for the engine's tests and benchmarks:
// straightforward per-wavelength 2x2 products in long double, the
// coefficients by their defining quotients and the derivatives by the
// quotient rule; and the one test coating type with its two builders.
#pragma once

#include <complex>
#include <vector>

namespace ref {

using lcplx = std::complex<long double>;

struct Mat2 {
    lcplx m[2][2];
    static Mat2 identity() { return {{{1.0L, 0.0L}, {0.0L, 1.0L}}}; }
};
Mat2 operator*(const Mat2& A, const Mat2& B);
Mat2 operator+(const Mat2& A, const Mat2& B);

// sqrt(n^2 - x^2) on the principal branch.
lcplx normal_component(lcplx n, long double x);
// [[cos d, i sin d / eta], [i eta sin d, cos d]] with d = 2 pi q thickness / lambda.
Mat2 layer_matrix(lcplx n, lcplx eta, long double thickness, long double lambda, long double x);
// Its derivative with respect to the thickness.
Mat2 layer_derivative(lcplx n, lcplx eta, long double thickness, long double lambda, long double x);

struct Coefficients {
    lcplx t, tb, r, rb;  // t, t', r, r'
};
Coefficients coefficients(const Mat2& M, lcplx eta0, lcplx eta_s);
// dt, dr, dr' for a change X = dM of the stack matrix.
Coefficients coefficient_derivatives(const Mat2& M, const Mat2& X, lcplx eta0, lcplx eta_s);

// A coating over a wavelength grid, with per-layer data in flat form
// (layer-major) and the matching arrays of row pointers.
struct Coating {
    int N = 0, K = 0;
    double x = 0.0;
    std::complex<double> eta0;
    std::vector<double> wavelengths, thicknesses;
    std::vector<std::complex<double>> indices, admittances, substrate;  // K*N, K*N, N
    std::vector<const std::complex<double>*> index_rows, admittance_rows;

    Coating() = default;
    // A copy's row pointers address its own arrays.
    Coating(const Coating& other);
    Coating& operator=(const Coating& other);
    Coating(Coating&&) = default;
    Coating& operator=(Coating&&) = default;

    std::complex<double> n(int j, int i) const { return indices[size_t(j) * N + i]; }
    std::complex<double> eta(int j, int i) const { return admittances[size_t(j) * N + i]; }
    std::complex<double>& n(int j, int i) { return indices[size_t(j) * N + i]; }
    std::complex<double>& eta(int j, int i) { return admittances[size_t(j) * N + i]; }
    void refresh_rows();
    // The same coating with layer j taken out.
    Coating without_layer(int j) const;
    // Stack matrix of layers [first, last) at wavelength i, thickness of
    // layer `varied` shifted by `shift`.
    Mat2 stack(int i, int first, int last, int varied = -1, long double shift = 0.0L) const;
    // dM/dd_k of layers [first, last) at wavelength i.
    Mat2 stack_derivative(int i, int first, int last, int k) const;
};

// Absorbing layers (index n - ik, k up to `absorption`), s-polarised tilted
// admittances sqrt(n^2 - x^2), wavelengths 400..900 and thicknesses 20..300.
Coating random_coating(int N, int K, unsigned seed, double x = 0.4, double absorption = 0.05);

// A dispersive high/low stack of non-absorbing layers on an absorbing,
// dispersive substrate, wavelengths 400..900 ascending; every layer
// admittance sqrt(n^2 - x^2) varies with the wavelength.
Coating lossless_coating(int N, int K, unsigned seed = 1, double x = 0.35);

// Largest entry-wise difference relative to the largest entry of `want`.
long double relative_difference(const Mat2& got, const Mat2& want);
long double relative_difference(lcplx got, lcplx want);

}  // namespace ref

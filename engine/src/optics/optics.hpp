// The optics every kernel shares, written once: the complex type, 2 pi, the
// 2x2 complex matrix and its product, the layer matrix and its thickness
// derivative, and the coefficients of a coating with their derivative
// factors.
//
// Layer j at wavelength lambda, with q = sqrt(n^2 - x^2) on the principal
// branch and the phase thickness delta = d_j q 2 pi / lambda:
//     L_j = [[cos delta, i sin delta / eta], [i eta sin delta, cos delta]].
// A coating's stack matrix M, applied to (1, eta_s), gives
//     D = eta0 M00 + eta_s M11 + (eta_s eta0) M01 + M10,
//     t = 2 eta0 / D, t' = 2 eta_s / D,
//     r = (eta0 M00 - eta_s M11 + (eta_s eta0) M01 - M10) / D,
//     r' = (eta_s M11 - eta0 M00 + (eta_s eta0) M01 - M10) / D.
//
// All arithmetic is std::complex<double>, so products and quotients keep the
// standard handling of infinities and NaNs, and sqrt/sin/cos are the C
// library's. The grouping of every expression is part of the results: where
// two kernels group a quantity differently (the phase thickness, the square
// of n), each keeps its own and says so.
#pragma once

#include <complex>

namespace sardune {

using cplx = std::complex<double>;

namespace optics {

constexpr double two_pi = 6.283185307179586;
inline const cplx imag_unit(0.0, 1.0);

struct Mat {
    cplx m00, m01, m10, m11;
};

inline const Mat identity{cplx(1.0, 0.0), cplx(0.0, 0.0), cplx(0.0, 0.0), cplx(1.0, 0.0)};

inline Mat product(const Mat& A, const Mat& B) {
    return {A.m00 * B.m00 + A.m01 * B.m10, A.m00 * B.m01 + A.m01 * B.m11,
            A.m10 * B.m00 + A.m11 * B.m10, A.m10 * B.m01 + A.m11 * B.m11};
}

// 2 pi + 0i with both parts divided by the real wavelength (a zero wavelength
// gives (inf, NaN), a negative one a negative zero imaginary part).
inline cplx wave_number(double lambda) { return cplx(two_pi, 0.0) / lambda; }

// sqrt(n^2 - x^2) from n^2, with x^2 taken off the real part only, so that
// the sign of a zero imaginary part of n picks the branch.
inline cplx normal_component(cplx n_squared, double x2) {
    return std::sqrt(cplx(n_squared.real() - x2, n_squared.imag()));
}

// ---- the layer matrix as the stack products use it: L = [[C, u], [v, C]]
// with u = S (i/eta) and v = S (i eta), the quotient and product first.

struct LayerTerms {
    cplx C, u, v;
};

inline LayerTerms layer_terms(cplx delta, cplx eta) {
    const cplx S = std::sin(delta);
    return {std::cos(delta), S * (imag_unit / eta), S * (imag_unit * eta)};
}

// R <- L R, all four old entries read first.
inline Mat apply_layer(const LayerTerms& L, const Mat& R) {
    return {L.C * R.m00 + L.u * R.m10, L.C * R.m01 + L.u * R.m11, L.v * R.m00 + L.C * R.m10,
            L.v * R.m01 + L.C * R.m11};
}

// ---- the layer matrix with its thickness derivative, as the derivative
// paths form them: L = [[C, (i S)/eta], [(i S) eta, C]] and
// G = dL/dd = delta' [[-S, (i C)/eta], [(i C) eta, -S]], delta' = (q 2 pi)/lambda.

struct LayerWithDerivative {
    Mat L, G;
};

inline LayerWithDerivative layer_with_derivative(cplx q, cplx delta, cplx eta, double lambda) {
    const cplx S = std::sin(delta);
    const cplx C = std::cos(delta);
    const cplx iS = imag_unit * S;
    const cplx dDelta = (q * cplx(two_pi, 0.0)) / lambda;
    const cplx iC = imag_unit * C;
    const cplx minus_S_dDelta = (-S) * dDelta;
    return {{C, iS / eta, iS * eta, C},
            {minus_S_dDelta, dDelta * (iC / eta), dDelta * (iC * eta), minus_S_dDelta}};
}

// ---- coefficients

inline cplx doubled(cplx z) { return cplx(2.0 * z.real(), 2.0 * z.imag()); }

struct Coefficients {
    cplx t, tb, r, rb;  // t, t', r, r'
};

// t = 2 eta0 / D and t' = 2 eta_s / D for a denominator D.
inline Coefficients transmissions(cplx D, cplx two_eta0, cplx eta_s) {
    return {two_eta0 / D, (2.0 * eta_s) / D, cplx(), cplx()};
}

// eta0 X00 + eta_s X11 + P X01 + X10 with P = eta_s eta0: D for a stack
// matrix, D' for its derivative.
inline cplx denominator(const Mat& X, cplx eta0, cplx eta_s, cplx P) {
    return eta0 * X.m00 + eta_s * X.m11 + P * X.m01 + X.m10;
}

inline Coefficients coefficients(const Mat& M, cplx two_eta0, cplx eta0, cplx eta_s, cplx P) {
    const cplx D = denominator(M, eta0, eta_s, P);
    Coefficients c = transmissions(D, two_eta0, eta_s);
    c.r = (eta0 * M.m00 - eta_s * M.m11 + P * M.m01 - M.m10) / D;
    c.rb = (eta_s * M.m11 - eta0 * M.m00 + P * M.m01 - M.m10) / D;
    return c;
}

// The factors that turn a change D' of the denominator (and of the
// numerators) into changes of the coefficients: -t^2/(2 eta0) for t,
// t/(2 eta0) for r and t'/(2 eta_s) for r'.
struct DerivativeFactors {
    cplx t, r, rb;
};

inline DerivativeFactors derivative_factors(const Coefficients& c, cplx eta0, cplx eta_s) {
    return {(c.t * (-0.5 * c.t)) / eta0, (0.5 * c.t) / eta0, (0.5 * c.tb) / eta_s};
}

// dt, dr, dr' for a change X of a complex stack matrix.
struct CoefficientChanges {
    cplx t, r, rb;
};

inline CoefficientChanges coefficient_changes(const Mat& X, const DerivativeFactors& a, const Coefficients& c,
                                              cplx eta0, cplx eta_s, cplx P) {
    return {a.t * denominator(X, eta0, eta_s, P),
            a.r * (eta0 * (1.0 - c.r) * X.m00 - (1.0 + c.r) * eta_s * X.m11 + P * (1.0 - c.r) * X.m01 -
                   (1.0 + c.r) * X.m10),
            a.rb * (eta_s * (1.0 - c.rb) * X.m11 - eta0 * (1.0 + c.rb) * X.m00 + P * (1.0 - c.rb) * X.m01 -
                    (1.0 + c.rb) * X.m10)};
}

}  // namespace optics
}  // namespace sardune

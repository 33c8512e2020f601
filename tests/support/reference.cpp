#include "reference.hpp"

#include <algorithm>
#include <cmath>
#include <random>
#include <utility>

namespace ref {

namespace {
const long double two_pi_l = 6.283185307179586476925286766559L;
const lcplx I(0.0L, 1.0L);
}  // namespace

Mat2 operator*(const Mat2& A, const Mat2& B) {
    Mat2 C;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) C.m[r][c] = A.m[r][0] * B.m[0][c] + A.m[r][1] * B.m[1][c];
    return C;
}

Mat2 operator+(const Mat2& A, const Mat2& B) {
    Mat2 C;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) C.m[r][c] = A.m[r][c] + B.m[r][c];
    return C;
}

lcplx normal_component(lcplx n, long double x) {
    const lcplx n2 = n * n;
    return std::sqrt(lcplx(n2.real() - x * x, n2.imag()));
}

Mat2 layer_matrix(lcplx n, lcplx eta, long double thickness, long double lambda, long double x) {
    const lcplx delta = two_pi_l * normal_component(n, x) * thickness / lambda;
    const lcplx c = std::cos(delta), s = std::sin(delta);
    return {{{c, I * s / eta}, {I * eta * s, c}}};
}

Mat2 layer_derivative(lcplx n, lcplx eta, long double thickness, long double lambda, long double x) {
    const lcplx q = normal_component(n, x);
    const lcplx k = two_pi_l * q / lambda;
    const lcplx delta = k * thickness;
    const lcplx c = std::cos(delta), s = std::sin(delta);
    return {{{-k * s, k * I * c / eta}, {k * I * eta * c, -k * s}}};
}

namespace {
struct Quotients {
    lcplx D, Nr, Nrb;
};
Quotients parts(const Mat2& M, lcplx eta0, lcplx eta_s) {
    const lcplx D = eta0 * M.m[0][0] + eta_s * M.m[1][1] + eta0 * eta_s * M.m[0][1] + M.m[1][0];
    const lcplx Nr = eta0 * M.m[0][0] - eta_s * M.m[1][1] + eta0 * eta_s * M.m[0][1] - M.m[1][0];
    const lcplx Nrb = eta_s * M.m[1][1] - eta0 * M.m[0][0] + eta0 * eta_s * M.m[0][1] - M.m[1][0];
    return {D, Nr, Nrb};
}
}  // namespace

Coefficients coefficients(const Mat2& M, lcplx eta0, lcplx eta_s) {
    const Quotients p = parts(M, eta0, eta_s);
    return {2.0L * eta0 / p.D, 2.0L * eta_s / p.D, p.Nr / p.D, p.Nrb / p.D};
}

Coefficients coefficient_derivatives(const Mat2& M, const Mat2& X, lcplx eta0, lcplx eta_s) {
    // The quotients are linear in M, so their derivatives are the same
    // expressions in X; then the quotient rule.
    const Quotients p = parts(M, eta0, eta_s);
    const Quotients dp = parts(X, eta0, eta_s);
    const lcplx D2 = p.D * p.D;
    return {-2.0L * eta0 * dp.D / D2, lcplx(0.0L), (dp.Nr * p.D - p.Nr * dp.D) / D2,
            (dp.Nrb * p.D - p.Nrb * dp.D) / D2};
}

void Coating::refresh_rows() {
    // K may have been lowered (or made negative) by a test after building.
    const int rows = std::max(0, N > 0 ? std::min<int>(K, int(indices.size() / size_t(N))) : K);
    index_rows.resize(rows);
    admittance_rows.resize(rows);
    for (int j = 0; j < rows; ++j) {
        index_rows[j] = indices.data() + size_t(j) * N;
        admittance_rows[j] = admittances.data() + size_t(j) * N;
    }
}

Coating::Coating(const Coating& o)
    : N(o.N), K(o.K), x(o.x), eta0(o.eta0), wavelengths(o.wavelengths), thicknesses(o.thicknesses),
      indices(o.indices), admittances(o.admittances), substrate(o.substrate) {
    refresh_rows();
}

Coating& Coating::operator=(const Coating& o) {
    if (this != &o) {
        Coating copy(o);
        *this = std::move(copy);
    }
    return *this;
}

Coating Coating::without_layer(int j) const {
    Coating c = *this;
    --c.K;
    c.indices.erase(c.indices.begin() + size_t(j) * N, c.indices.begin() + size_t(j + 1) * N);
    c.admittances.erase(c.admittances.begin() + size_t(j) * N, c.admittances.begin() + size_t(j + 1) * N);
    c.thicknesses.erase(c.thicknesses.begin() + j);
    c.refresh_rows();
    return c;
}

Mat2 Coating::stack(int i, int first, int last, int varied, long double shift) const {
    Mat2 M = Mat2::identity();
    for (int j = first; j < last; ++j) {
        const long double d = thicknesses[j] + (j == varied ? shift : 0.0L);
        M = layer_matrix(n(j, i), eta(j, i), d, wavelengths[i], x) * M;
    }
    return M;
}

Mat2 Coating::stack_derivative(int i, int first, int last, int k) const {
    Mat2 M = Mat2::identity();
    for (int j = first; j < last; ++j) {
        const Mat2 L = j == k ? layer_derivative(n(j, i), eta(j, i), thicknesses[j], wavelengths[i], x)
                              : layer_matrix(n(j, i), eta(j, i), thicknesses[j], wavelengths[i], x);
        M = L * M;
    }
    return M;
}

namespace {
// Counts, angle invariant and incident admittance (a unit index, tilted).
Coating seen_at(int N, int K, double x) {
    Coating c;
    c.N = N;
    c.K = K;
    c.x = x;
    c.eta0 = std::sqrt(std::complex<double>(1.0 - x * x, 0.0));
    return c;
}
}  // namespace

Coating random_coating(int N, int K, unsigned seed, double x, double absorption) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Coating c = seen_at(N, K, x);
    for (int i = 0; i < N; ++i) c.wavelengths.push_back(400.0 + 500.0 * u(rng));
    for (int j = 0; j < K; ++j) c.thicknesses.push_back(20.0 + 280.0 * u(rng));
    for (int j = 0; j < K; ++j) {
        const double n0 = 1.3 + 1.2 * u(rng), k0 = absorption * u(rng);
        for (int i = 0; i < N; ++i) {
            // A little dispersion so that wavelengths differ in more than k_i.
            const std::complex<double> n(n0 + 0.02 * u(rng), -k0);
            c.indices.push_back(n);
            c.admittances.push_back(std::sqrt(n * n - x * x));
        }
    }
    for (int i = 0; i < N; ++i) {
        const std::complex<double> ns(1.52 + 0.01 * u(rng), -0.001 * u(rng));
        c.substrate.push_back(std::sqrt(ns * ns - x * x));
    }
    c.refresh_rows();
    return c;
}

Coating lossless_coating(int N, int K, unsigned seed, double x) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Coating c = seen_at(N, K, x);
    for (int i = 0; i < N; ++i) c.wavelengths.push_back(400.0 + 500.0 * (N > 1 ? double(i) / (N - 1) : 0.5) + 0.1 * u(rng));
    for (int i = 0; i < N; ++i) {
        const double l = c.wavelengths[i] / 1000.0;
        const double ns = 1.52 + 0.004 / (l * l);
        c.substrate.push_back({std::sqrt(ns * ns - x * x), 0.002 + 0.001 * l});
    }
    c.indices.resize(size_t(K) * N);
    c.admittances.resize(size_t(K) * N);
    for (int j = 0; j < K; ++j) {
        const double n0 = (j % 2 == 0) ? 2.3 : 1.45, disp = (j % 2 == 0) ? 0.03 : 0.004;
        c.thicknesses.push_back(550.0 / (4.0 * n0) * (0.6 + 0.8 * u(rng)));
        for (int i = 0; i < N; ++i) {
            const double l = c.wavelengths[i] / 1000.0, n = n0 + disp / (l * l);
            c.n(j, i) = {n, 0.0};
            c.eta(j, i) = {std::sqrt(n * n - x * x), 0.0};
        }
    }
    c.refresh_rows();
    return c;
}

long double relative_difference(const Mat2& got, const Mat2& want) {
    long double scale = 0.0L, diff = 0.0L;
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) {
            scale = std::max(scale, std::abs(want.m[r][c]));
            diff = std::max(diff, std::abs(got.m[r][c] - want.m[r][c]));
        }
    return diff / scale;
}

long double relative_difference(lcplx got, lcplx want) { return std::abs(got - want) / std::abs(want); }

}  // namespace ref

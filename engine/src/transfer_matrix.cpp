// Characteristic matrices of layer stacks over a wavelength range: the stack
// matrix M = L_{K-1} ... L_0, the forward partial products, and the thickness
// derivatives of M by a forward and a backward sweep.
//
// Layer matrix of layer j at wavelength i, with q = sqrt(n^2 - x^2) on the
// principal branch and delta = (d_j q) k_i, k_i = 2 pi / lambda_i:
//     L_j = [[cos delta, i sin delta / eta], [i eta sin delta, cos delta]].
// All complex arithmetic is std::complex<double>, so products and quotients
// keep the compiler's handling of infinities and NaNs, and sqrt/sin/cos are
// the C library's csqrt/csin/ccos. The exact operation order below is part of
// the results (the kernels agree value for value where they share it).
#include <vector>

#include "kernels.hpp"

namespace {

constexpr double two_pi = 6.283185307179586;
const cplx imag_unit(0.0, 1.0);

// 2 pi + 0i with both parts divided by the real wavelength.
inline cplx wave_number(double lambda) { return cplx(two_pi, 0.0) / lambda; }

// sqrt(n^2 - x^2) with x^2 taken off the real part only, so that the sign of
// a zero imaginary part of n picks the branch.
inline cplx normal_component(cplx n, double x2) {
    const cplx n2 = n * n;
    return std::sqrt(cplx(n2.real() - x2, n2.imag()));
}

// The shared evaluation of calc_M_ and forward_: S, C and the two
// off-diagonal factors u = S (i/eta), v = S (i eta).
struct LayerTerms {
    cplx C, u, v;
};

inline LayerTerms layer_terms(cplx n, cplx eta, double d, cplx k, double x2) {
    const cplx q = normal_component(n, x2);
    const cplx delta = (d * q) * k;
    const cplx S = std::sin(delta);
    const cplx C = std::cos(delta);
    return {C, S * (imag_unit / eta), S * (imag_unit * eta)};
}

struct Mat {
    cplx m00, m01, m10, m11;
};

// R <- L R for L = [[C, u], [v, C]].
inline Mat apply_layer(const LayerTerms& L, const Mat& R) {
    return {L.C * R.m00 + L.u * R.m10, L.C * R.m01 + L.u * R.m11, L.v * R.m00 + L.C * R.m10,
            L.v * R.m01 + L.C * R.m11};
}

inline Mat product(const Mat& A, const Mat& B) {
    return {A.m00 * B.m00 + A.m01 * B.m10, A.m00 * B.m01 + A.m01 * B.m11,
            A.m10 * B.m00 + A.m11 * B.m10, A.m10 * B.m01 + A.m11 * B.m11};
}

const Mat identity{cplx(1.0, 0.0), cplx(0.0, 0.0), cplx(0.0, 0.0), cplx(1.0, 0.0)};

inline Mat load(const ThreeDArray<cplx>& s, int64_t i) { return {s(0, 0, i), s(0, 1, i), s(1, 0, i), s(1, 1, i)}; }
inline void store(const ThreeDArray<cplx>& s, int64_t i, const Mat& m) {
    s(0, 0, i) = m.m00, s(0, 1, i) = m.m01, s(1, 0, i) = m.m10, s(1, 1, i) = m.m11;
}
inline Mat load(const FourDArray<cplx>& s, int64_t j, int64_t i) {
    return {s(j, 0, 0, i), s(j, 0, 1, i), s(j, 1, 0, i), s(j, 1, 1, i)};
}
inline void store(const FourDArray<cplx>& s, int64_t j, int64_t i, const Mat& m) {
    s(j, 0, 0, i) = m.m00, s(j, 0, 1, i) = m.m01, s(j, 1, 0, i) = m.m10, s(j, 1, 1, i) = m.m11;
}

}  // namespace

// Wavelength loop outside, layers inside: the running product stays local and
// each output element is stored once.
void calc_M_(int start, int end, int K, const OneDArray<double>& wavelengths,
             const OneDArray<double>& thicknesses, const cplx* const* indices,
             const cplx* const* admittances, double x, const ThreeDArray<cplx>& stack_matrix) {
    const double x2 = x * x;
    for (int i = start; i < end; ++i) {
        Mat R = identity;
        if (K > 0) {
            const cplx k = wave_number(wavelengths(i));
            for (int j = 0; j < K; ++j)
                R = apply_layer(layer_terms(indices[j][i], admittances[j][i], thicknesses(j), k, x2), R);
        }
        store(stack_matrix, i, R);
    }
}

// Layers outside, wavelengths inside, accumulating in the caller's stack
// matrix; the partial product is copied just before the outermost layer.
void forward_(int start, int end, int K, const OneDArray<double>& wavelengths,
              const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
              const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
              const ThreeDArray<cplx>& partial_stack_matrix) {
    const double x2 = x * x;
    for (int i = start; i < end; ++i) store(stack_matrix, i, identity);
    for (int j = 0; j < K; ++j) {
        if (j == K - 1)
            for (int i = start; i < end; ++i) store(partial_stack_matrix, i, load(stack_matrix, i));
        for (int i = start; i < end; ++i) {
            const LayerTerms L = layer_terms(indices(j, i), admittances(j, i), thicknesses(j),
                                             wave_number(wavelengths(i)), x2);
            store(stack_matrix, i, apply_layer(L, load(stack_matrix, i)));
        }
    }
}

// Four passes over the range: wave numbers; every layer matrix and its
// thickness derivative; a forward sweep multiplying each derivative by the
// product of the layers below it; a backward sweep multiplying by the product
// of the layers above it, which leaves M in the stack matrix. The cost is
// linear in K.
void forward_backward_(int start, int end, int K, const OneDArray<double>& wavelengths,
                       const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                       const TwoDArray<cplx>& admittances, double x,
                       const ThreeDArray<cplx>& stack_matrix, const FourDArray<cplx>& layer_matrices,
                       const FourDArray<cplx>& derivatives) {
    if (start >= end) return;
    if (K < 1) {
        // No layer: the stack is the identity and there is nothing to sweep.
        for (int i = start; i < end; ++i) store(stack_matrix, i, identity);
        return;
    }

    // 1. Wave numbers, cached for the range before any output is written, so
    //    a failed allocation leaves the outputs untouched.
    std::vector<cplx> cache(static_cast<size_t>(end - start));
    for (int i = start; i < end; ++i) cache[i - start] = wave_number(wavelengths(i));

    // 2. L_j and dL_j/dd_j = delta' [[-sin, i cos/eta], [i eta cos, -sin]].
    const double x2 = x * x;
    for (int j = 0; j < K; ++j) {
        for (int i = start; i < end; ++i) {
            const cplx n = indices(j, i);
            const cplx eta = admittances(j, i);
            const cplx q = std::sqrt(cplx(n.real() * n.real() - n.imag() * n.imag() - x2,
                                          2.0 * n.real() * n.imag()));
            const cplx delta = (thicknesses(j) * q) * cache[i - start];
            const cplx S = std::sin(delta);
            const cplx C = std::cos(delta);
            const cplx iS = imag_unit * S;
            store(layer_matrices, j, i, {C, iS / eta, iS * eta, C});
            const cplx dDelta = (q * cplx(two_pi, 0.0)) / wavelengths(i);
            const cplx iC = imag_unit * C;
            const cplx minus_S_dDelta = (-S) * dDelta;
            store(derivatives, j, i, {minus_S_dDelta, dDelta * (iC / eta), dDelta * (iC * eta), minus_S_dDelta});
        }
    }

    // 3. Forward sweep: stack matrix = L_{j-1} ... L_0.
    for (int i = start; i < end; ++i) store(stack_matrix, i, load(layer_matrices, 0, i));
    for (int j = 1; j < K; ++j) {
        for (int i = start; i < end; ++i)
            store(derivatives, j, i, product(load(derivatives, j, i), load(stack_matrix, i)));
        if (j < K - 1)
            for (int i = start; i < end; ++i)
                store(stack_matrix, i, product(load(layer_matrices, j, i), load(stack_matrix, i)));
    }

    // 4. Backward sweep: stack matrix = L_{K-1} ... L_{j+1}, ending as M.
    for (int i = start; i < end; ++i) store(stack_matrix, i, load(layer_matrices, K - 1, i));
    for (int j = K - 2; j >= 0; --j) {
        for (int i = start; i < end; ++i)
            store(derivatives, j, i, product(load(stack_matrix, i), load(derivatives, j, i)));
        for (int i = start; i < end; ++i)
            store(stack_matrix, i, product(load(stack_matrix, i), load(layer_matrices, j, i)));
    }
}

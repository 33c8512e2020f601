// Stack matrices and forward partial products: both form each layer with
// the same operations in the same order, so they agree value for value.
#include "transfer/layer_forms.hpp"
#include "transfer/matrix_views.hpp"
#include "transfer/transfer.hpp"

namespace sardune::transfer {

using optics::Mat;

// Wavelength loop outside, layers inside: the running product stays local and
// each output element is stored once.
void stack_matrices(int start, int end, int K, const OneDArray<double>& wavelengths,
                    const OneDArray<double>& thicknesses, const cplx* const* indices,
                    const cplx* const* admittances, double x, const ThreeDArray<cplx>& stack_matrix) {
    const double x2 = x * x;
    for (int64_t i = start; i < end; ++i) {
        Mat R = optics::identity;
        if (K > 0) {
            const cplx k = optics::wave_number(wavelengths(i));
            for (int j = 0; j < K; ++j)
                R = optics::apply_layer(stack_layer(indices[j][i], admittances[j][i], thicknesses(j), k, x2), R);
        }
        store(stack_matrix, i, R);
    }
}

// Layers outside, wavelengths inside, accumulating in the caller's stack
// matrix; the partial product is copied just before the outermost layer.
void forward_products(int start, int end, int K, const OneDArray<double>& wavelengths,
                      const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                      const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                      const ThreeDArray<cplx>& partial_stack_matrix) {
    const double x2 = x * x;
    for (int64_t i = start; i < end; ++i) store(stack_matrix, i, optics::identity);
    for (int j = 0; j < K; ++j) {
        if (j == K - 1)
            for (int64_t i = start; i < end; ++i) store(partial_stack_matrix, i, load(stack_matrix, i));
        for (int64_t i = start; i < end; ++i) {
            const optics::LayerTerms L = stack_layer(indices(j, i), admittances(j, i), thicknesses(j),
                                                     optics::wave_number(wavelengths(i)), x2);
            store(stack_matrix, i, optics::apply_layer(L, load(stack_matrix, i)));
        }
    }
}

}  // namespace sardune::transfer

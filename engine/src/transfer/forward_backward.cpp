// Every layer matrix, the stack matrix and its thickness derivatives in four
// passes over the range: wave numbers; every layer matrix and its derivative;
// a forward sweep multiplying each derivative by the product of the layers
// below it; a backward sweep multiplying by the product of the layers above
// it, which leaves M in the stack matrix. The cost is linear in K.
#include "core/scratch.hpp"
#include "transfer/layer_forms.hpp"
#include "transfer/matrix_views.hpp"
#include "transfer/transfer.hpp"

namespace sardune::transfer {

using optics::Mat;

void forward_backward(int start, int end, int K, const OneDArray<double>& wavelengths,
                      const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                      const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                      const FourDArray<cplx>& layer_matrices, const FourDArray<cplx>& derivatives) {
    if (start >= end) return;
    if (K < 1) {
        // No layer: the stack is the identity and there is nothing to sweep.
        for (int64_t i = start; i < end; ++i) store(stack_matrix, i, optics::identity);
        return;
    }

    // 1. Wave numbers, cached for the range before any output is written, so
    //    a failed allocation leaves the outputs untouched.
    const Scratch cache_block = Scratch::required(sizeof(cplx) * static_cast<size_t>(end - start));
    forward_backward_in(start, end, K, wavelengths, thicknesses, indices, admittances, x, stack_matrix,
                        layer_matrices, derivatives, static_cast<cplx*>(cache_block.data()));
}

void forward_backward_in(int start, int end, int K, const OneDArray<double>& wavelengths,
                         const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                         const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                         const FourDArray<cplx>& layer_matrices, const FourDArray<cplx>& derivatives, cplx* cache) {
    if (start >= end || K < 1) return;
    for (int64_t i = start; i < end; ++i) cache[i - start] = optics::wave_number(wavelengths(i));

    // 2. L_j and dL_j/dd_j, with n^2 formed from its parts.
    const double x2 = x * x;
    for (int j = 0; j < K; ++j) {
        for (int64_t i = start; i < end; ++i) {
            const optics::LayerWithDerivative layer = sweep_layer(indices(j, i), admittances(j, i), thicknesses(j),
                                                                  cache[i - start], wavelengths(i), x2);
            store(layer_matrices, j, i, layer.L);
            store(derivatives, j, i, layer.G);
        }
    }

    // 3. Forward sweep: stack matrix = L_{j-1} ... L_0.
    for (int64_t i = start; i < end; ++i) store(stack_matrix, i, load(layer_matrices, 0, i));
    for (int j = 1; j < K; ++j) {
        for (int64_t i = start; i < end; ++i)
            store(derivatives, j, i, optics::product(load(derivatives, j, i), load(stack_matrix, i)));
        if (j < K - 1)
            for (int64_t i = start; i < end; ++i)
                store(stack_matrix, i, optics::product(load(layer_matrices, j, i), load(stack_matrix, i)));
    }

    // 4. Backward sweep: stack matrix = L_{K-1} ... L_{j+1}, ending as M.
    for (int64_t i = start; i < end; ++i) store(stack_matrix, i, load(layer_matrices, K - 1, i));
    for (int j = K - 2; j >= 0; --j) {
        for (int64_t i = start; i < end; ++i)
            store(derivatives, j, i, optics::product(load(stack_matrix, i), load(derivatives, j, i)));
        for (int64_t i = start; i < end; ++i)
            store(stack_matrix, i, optics::product(load(stack_matrix, i), load(layer_matrices, j, i)));
    }
}

}  // namespace sardune::transfer

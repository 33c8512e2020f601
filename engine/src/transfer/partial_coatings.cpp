// Amplitude coefficients of partial coatings with their thickness
// derivatives. Per wavelength, the layers d0 .. K-1 are added one at a time
// on top of the base matrix; after each, the partial coating's coefficients
// go into its record and, with derivatives, every earlier derivative matrix
// is carried through the new layer so that no partial product is formed
// afresh.
#include "core/scratch.hpp"
#include "transfer/layer_forms.hpp"
#include "transfer/matrix_views.hpp"
#include "transfer/transfer.hpp"

namespace sardune::transfer {

using optics::Mat;

void partial_coatings(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                      const OneDArray<double>& thicknesses, const cplx* const* indices,
                      const cplx* const* admittances, cplx eta0, const OneDArray<cplx>& substrate_admittances,
                      double x, const ThreeDArray<cplx>& base_matrix, int d0, cplx* const* const* records,
                      bool derivatives) {
    if (d0 < 0 || d0 >= K || start >= end) return;
    // X_k for every added layer; one block serves the whole range.
    const Scratch block = Scratch::required(partial_scratch_bytes(K - d0));
    partial_coatings_in(start, end, N, K, wavelengths, thicknesses, indices, admittances, eta0,
                        substrate_admittances, x, base_matrix, d0, records, derivatives, block.data());
}

size_t partial_scratch_bytes(int added) { return sizeof(Mat) * (static_cast<size_t>(added) + 1); }

void partial_coatings_in(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                         const OneDArray<double>& thicknesses, const cplx* const* indices,
                         const cplx* const* admittances, cplx eta0, const OneDArray<cplx>& substrate_admittances,
                         double x, const ThreeDArray<cplx>& base_matrix, int d0, cplx* const* const* records,
                         bool derivatives, void* scratch) {
    if (d0 < 0 || d0 >= K || start >= end) return;
    Mat* const X = static_cast<Mat*>(scratch);
    const double x2 = x * x;
    const cplx two_eta0 = optics::doubled(eta0);
    const int64_t stride = N;

    for (int64_t i = start; i < end; ++i) {
        Mat M = d0 != 0 ? load(base_matrix, i) : optics::identity;
        const cplx eta_s = substrate_admittances(i);
        const cplx P = eta_s * eta0;
        const double lambda = wavelengths(i);
        for (int j = d0; j < K; ++j) {
            const optics::LayerWithDerivative layer =
                partial_layer(indices[j][i], admittances[j][i], thicknesses(j), lambda, x2);
            if (derivatives) X[j - d0] = optics::product(layer.G, M);
            M = optics::product(layer.L, M);

            cplx* const* record = records[j - d0];
            const optics::Coefficients c = optics::coefficients(M, two_eta0, eta0, eta_s, P);
            record[0][i] = c.t, record[1][i] = c.tb, record[2][i] = c.r, record[3][i] = c.rb;
            if (!derivatives) continue;

            const optics::DerivativeFactors a = optics::derivative_factors(c, eta0, eta_s);
            for (int k = d0; k <= j; ++k) {
                if (k < j) X[k - d0] = optics::product(layer.L, X[k - d0]);
                const optics::CoefficientChanges dc = optics::coefficient_changes(X[k - d0], a, c, eta0, eta_s, P);
                const int64_t at = static_cast<int64_t>(k - d0) * stride + i;
                record[4][at] = dc.t, record[5][at] = dc.r, record[6][at] = dc.rb;
            }
        }
    }
}

}  // namespace sardune::transfer

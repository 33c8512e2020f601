// The layer of one wavelength as each C-library kernel forms it. The three
// groupings differ (n^2 as a complex product or from its parts; the wave
// number as a complex quotient or a real one), and each is part of its
// kernel's results, so each exists once here: for the kernel itself and for
// the four-lane kernels' special lanes, which must match it exactly.
#pragma once

#include "optics/optics.hpp"

namespace sardune::transfer {

// Stack matrices and forward products: q from the complex square of n,
// delta = (d q) k with the complex wave number k.
inline optics::LayerTerms stack_layer(cplx n, cplx eta, double d, cplx k, double x2) {
    const cplx q = optics::normal_component(n * n, x2);
    return optics::layer_terms((d * q) * k, eta);
}

// Forward-backward sweeps: n^2 formed from its parts, delta = (d q) k.
inline optics::LayerWithDerivative sweep_layer(cplx n, cplx eta, double d, cplx k, double lambda, double x2) {
    const cplx q =
        optics::normal_component(cplx(n.real() * n.real() - n.imag() * n.imag(), 2.0 * n.real() * n.imag()), x2);
    return optics::layer_with_derivative(q, (d * q) * k, eta, lambda);
}

// Partial coatings: the phase thickness with the wave number as a real value.
inline optics::LayerWithDerivative partial_layer(cplx n, cplx eta, double d, double lambda, double x2) {
    const cplx q = optics::normal_component(n * n, x2);
    const cplx delta = cplx(optics::two_pi / lambda, 0.0) * (d * q);
    return optics::layer_with_derivative(q, delta, eta, lambda);
}

}  // namespace sardune::transfer

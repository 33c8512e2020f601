#include "transfer/lanes.hpp"

#include "transfer/layer_forms.hpp"

namespace sardune::transfer::lanes {

namespace {

cplx value(const double* p) { return cplx(p[0], p[1]); }
void put(double* p, cplx z) { p[0] = z.real(), p[1] = z.imag(); }
optics::Mat matrix(const double* p) { return {value(p), value(p + 2), value(p + 4), value(p + 6)}; }
void put(double* p, const optics::Mat& m) { put(p, m.m00), put(p + 2, m.m01), put(p + 4, m.m10), put(p + 6, m.m11); }
void put(double* p, const optics::LayerWithDerivative& layer) { put(p, layer.L), put(p + 8, layer.G); }

}  // namespace

void stack_layer(const double* n, const double* eta, double d, double lambda, double x2, double* out) {
    const optics::LayerTerms L = transfer::stack_layer(value(n), value(eta), d, optics::wave_number(lambda), x2);
    put(out, L.C), put(out + 2, L.u), put(out + 4, L.v);
}

void sweep_layer(const double* n, const double* eta, double d, double lambda, double x2, double* out) {
    put(out, transfer::sweep_layer(value(n), value(eta), d, optics::wave_number(lambda), lambda, x2));
}

void partial_layer(const double* n, const double* eta, double d, double lambda, double x2, double* out) {
    put(out, transfer::partial_layer(value(n), value(eta), d, lambda, x2));
}

void coefficients(const double* M, const double* eta0, const double* eta_s, double* c, double* factors) {
    const cplx e0 = value(eta0), es = value(eta_s);
    const optics::Coefficients k = optics::coefficients(matrix(M), optics::doubled(e0), e0, es, es * e0);
    put(c, k.t), put(c + 2, k.tb), put(c + 4, k.r), put(c + 6, k.rb);
    const optics::DerivativeFactors a = optics::derivative_factors(k, e0, es);
    put(factors, a.t), put(factors + 2, a.r), put(factors + 4, a.rb);
}

void coefficient_changes(const double* X, const double* factors, const double* c, const double* eta0,
                         const double* eta_s, double* out) {
    const cplx e0 = value(eta0), es = value(eta_s);
    const optics::Coefficients k{value(c), value(c + 2), value(c + 4), value(c + 6)};
    const optics::DerivativeFactors a{value(factors), value(factors + 2), value(factors + 4)};
    const optics::CoefficientChanges dc = optics::coefficient_changes(matrix(X), a, k, e0, es, es * e0);
    put(out, dc.t), put(out + 2, dc.r), put(out + 4, dc.rb);
}

void reciprocal(const double* z, double* out) { put(out, 1.0 / value(z)); }

}  // namespace sardune::transfer::lanes

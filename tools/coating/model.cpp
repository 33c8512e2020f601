#include "model.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "optics/optics.hpp"
#include "sardune.h"
#include "text.hpp"

namespace spectrum {

namespace optics = sardune::optics;

Incidence incidence(double index, double angle_deg) {
    const double theta = angle_deg * (M_PI / 180.0);
    const double cosine = std::cos(theta);
    return {index, index * std::sin(theta), index * cosine, cosine};
}

cplx admittance(cplx index, const Incidence& in, char polarisation) {
    // q^2 = n^2 - x^2. Beyond 45 degrees x^2 = n0^2 - (n0 cos)^2 is used, so
    // that near grazing incidence, where x rounds to n0, media of an index
    // close to n0 keep their small normal component. The imaginary part is
    // that of n^2 either way, which fixes the branch.
    const double n = index.real(), k = index.imag();
    const double re = in.x <= in.normal ? (n * n - k * k) - in.x * in.x
                                        : (n - in.index) * (n + in.index) - k * k + in.normal * in.normal;
    const cplx n2 = index * index;
    const cplx q = std::sqrt(cplx(re, n2.imag()));
    return polarisation == 'p' ? n2 / q : q;
}

double incident_admittance(const Incidence& in, char polarisation) {
    return polarisation == 'p' ? in.index / in.cosine : in.index * in.cosine;
}

size_t wavelength_count(double from, double to, double step) {
    return static_cast<size_t>(std::floor((to - from) / step + 1e-9)) + 1;
}

std::vector<double> wavelength_grid(double from, double to, double step) {
    const size_t count = wavelength_count(from, to, step);
    std::vector<double> grid(count);
    for (size_t i = 0; i < count; ++i) grid[i] = from + step * static_cast<double>(i);
    return grid;
}

namespace {

// The engine's requests of one batch need, per front layer and wavelength,
// an index, an admittance, the sums of dR and dT, and either the
// forward-backward matrices (eight complex values) or the real-index
// derivatives (three), which share one block; per back layer an index and an
// admittance. The batch is as long as this budget allows, so memory does not
// grow with the number of wavelengths.
constexpr size_t batch_budget_bytes = size_t(32) << 20;

size_t bytes_per_wavelength(size_t layers, size_t back_layers, size_t materials) {
    return layers * (10 * sizeof(cplx) + 2 * sizeof(double)) + back_layers * 2 * sizeof(cplx) +
           materials * sizeof(cplx) + 20 * sizeof(cplx);
}

const sardune_complex* in(const cplx* p) { return reinterpret_cast<const sardune_complex*>(p); }
sardune_complex* out(cplx* p) { return reinterpret_cast<sardune_complex*>(p); }

void check_status(int status) {
    if (status == SARDUNE_OK) return;
    if (status == SARDUNE_ERR_OUT_OF_MEMORY) throw std::bad_alloc();
    throw ComputeError("the engine refused the request (status " + std::to_string(status) + ")");
}

// The power a transmission coefficient t carries from a medium of admittance
// `from` into one of admittance `into`.
double transmittance(cplx t, cplx from, cplx into) { return into.real() / from.real() * std::norm(t); }

// The change of |a|^2 for a change da of a: 2 Re(conj(a) da).
double norm_change(cplx a, cplx da) { return 2.0 * std::real(std::conj(a) * da); }

optics::Mat matrix_at(const cplx* planes, size_t N, size_t i) {
    return {planes[i], planes[N + i], planes[2 * N + i], planes[3 * N + i]};
}

// One run: the workspace sized for the longest batch, reused by each.
class Run {
public:
    Run(const Setup& s, size_t wavelengths)
        : s_(s), d_(s.design), K_(static_cast<int>(d_.layers.size())),
          Kb_(d_.thick() ? static_cast<int>(d_.back.size()) : 0) {
        // Each material named by a medium or a layer gets a row of indices per batch.
        row_of_material_.assign(d_.materials.size(), -1);
        incident_row_ = row_of(d_.incident), substrate_row_ = row_of(d_.substrate);
        if (d_.thick()) exit_row_ = row_of(d_.exit_medium());
        for (const Layer& l : d_.layers) {
            d_front_.push_back(l.thickness_nm);
            row_of_layer_.push_back(row_of(l));
        }
        // The back coating as the engine takes it: its layer 0 touches the exit medium.
        for (int j = 0; j < Kb_; ++j) {
            const Layer& l = d_.back[Kb_ - 1 - j];
            d_back_.push_back(l.thickness_nm);
            row_of_back_.push_back(row_of(l));
        }
        const size_t fit = batch_budget_bytes / bytes_per_wavelength(K_, Kb_, used_.size());
        // One angle invariant per request: a dispersive incident medium goes one wavelength at a time.
        const bool constant_incident = d_.incident.material < 0 || constant_index(d_.materials[d_.incident.material]);
        const size_t longest = !constant_incident ? 1 : s.batch > 0 ? size_t(s.batch) : fit;
        B_ = static_cast<int>(std::clamp<size_t>(longest, 1, wavelengths));
        const size_t KB = size_t(K_) * B_, KbB = size_t(Kb_) * B_;
        material_rows_.resize(used_.size() * B_);
        index_.resize(KB);
        eta_.resize(KB);
        block_.resize(8 * KB);
        dR_.resize(KB);
        dT_.resize(KB);
        back_index_.resize(KbB);
        back_eta_.resize(KbB);
        for (auto* v : {&R_, &T_, &Rb_, &Tb_, &tau_}) v->resize(B_);
        coefficients_.resize(size_t(4) * B_);
        back_matrix_.resize(size_t(4) * B_);
        for (auto* v : {&incident_n_, &substrate_n_, &substrate_eta_, &exit_n_, &exit_eta_}) v->resize(B_);
        index_rows_.resize(K_);
        eta_rows_.resize(K_);
        back_index_rows_.resize(Kb_);
        back_eta_rows_.resize(Kb_);
    }

    size_t batch_length() const { return size_t(B_); }

    void batch(const double* wl, int count, Result& r, const BatchSink& sink) {
        count_ = count;
        fill_indices(wl);
        in_ = incidence(incident_n_[0].real(), s_.angle_deg);
        const bool real_path = lossless_above_x();
        const size_t KB = size_t(K_) * count;
        std::fill_n(dR_.begin(), KB, 0.0);
        std::fill_n(dT_.begin(), KB, 0.0);
        std::fill_n(R_.begin(), count, 0.0);
        std::fill_n(T_.begin(), count, 0.0);
        if (s_.polarisation == 'u') {
            polarisation(wl, 's', 0.5, real_path);
            polarisation(wl, 'p', 0.5, real_path);
        } else {
            polarisation(wl, s_.polarisation, 1.0, real_path);
        }
        collect(wl, r);
        if (sink) sink({wl, size_t(count), size_t(K_), R_.data(), T_.data(), dR_.data(), dT_.data()});
    }

private:
    // The row of a medium's material in material_rows_, or -1 for a fixed index.
    int row_of(const Medium& m) {
        if (m.material < 0) return -1;
        if (row_of_material_[m.material] < 0) {
            row_of_material_[m.material] = static_cast<int>(used_.size());
            used_.push_back(m.material);
        }
        return row_of_material_[m.material];
    }

    // A medium over the batch: its material's row or its fixed index.
    void fill(const Medium& m, int row, cplx* to) const {
        if (row < 0)
            std::fill_n(to, count_, cplx(m.n, -m.k));
        else
            std::copy_n(&material_rows_[size_t(row) * count_], count_, to);
    }

    // Indices per layer, layer-major with the batch's own length as stride.
    // A material is evaluated once per batch, whatever the number of its layers.
    void fill_indices(const double* wl) {
        for (size_t m = 0; m < used_.size(); ++m)
            for (int i = 0; i < count_; ++i)
                material_rows_[m * count_ + i] = index_at(d_.materials[used_[m]], wl[i], s_.extrapolate);
        for (int j = 0; j < K_; ++j) fill(d_.layers[j], row_of_layer_[j], &index_[size_t(j) * count_]);
        for (int j = 0; j < Kb_; ++j) fill(d_.back[Kb_ - 1 - j], row_of_back_[j], &back_index_[size_t(j) * count_]);
        fill(d_.incident, incident_row_, incident_n_.data());
        fill(d_.substrate, substrate_row_, substrate_n_.data());
        if (d_.thick()) fill(d_.exit_medium(), exit_row_, exit_n_.data());
        for (int i = 0; i < count_; ++i)
            if (incident_n_[i].imag() != 0)
                throw InputError("incident: " + d_.materials[d_.incident.material].name + " at " + shortest(wl[i]) +
                                 " nm: k " + shortest(-incident_n_[i].imag()) +
                                 " is not 0 (the incident medium must be lossless)");
    }

    // The real-index entry point takes lossless layers whose index lies
    // above the angle invariant (else a layer's wave would not propagate).
    bool lossless_above_x() const {
        return std::all_of(index_.begin(), index_.begin() + size_t(K_) * count_,
                           [x = in_.x](cplx n) { return n.imag() == 0 && n.real() > x; });
    }

    void polarisation(const double* wl, char pol, double weight, bool real_path) {
        const cplx eta0 = incident_admittance(in_, pol);
        for (int i = 0; i < count_; ++i) substrate_eta_[i] = admittance(substrate_n_[i], in_, pol);
        for (size_t e = 0; e < size_t(K_) * count_; ++e) eta_[e] = admittance(index_[e], in_, pol);
        if (real_path)
            real_index(wl, eta0);
        else
            transfer_matrices(wl, eta0);
        if (d_.thick()) back_face(wl, pol);
        accumulate(eta0, weight);
    }

    // t, t', r, r' into coefficients_ (t at [i], r at [count + i], t' at
    // [2 count + i], r' at [3 count + i]) and their derivatives into block_
    // (dr at [k count + i], dt KB later, dr' 2 KB later).
    void real_index(const double* wl, cplx eta0) {
        const size_t KB = size_t(K_) * count_;
        cplx* const c = coefficients_.data();
        cplx* const b = block_.data();  // empty without layers
        sardune_complex* record[7] = {out(c),      out(c + 2 * count_), out(c + count_), out(c + 3 * count_),
                                      out(b + KB), out(b),              out(b + 2 * KB)};
        for (int j = 0; j < K_; ++j) {
            index_rows_[j] = in(&index_[size_t(j) * count_]);
            eta_rows_[j] = in(&eta_[size_t(j) * count_]);
        }
        check_status(update_optiprops_real_n_simd(count_, K_, wl, d_front_.data(), index_rows_.data(),
                                                  eta_rows_.data(), in(&eta0), in(substrate_eta_.data()), in_.x,
                                                  record, true));
    }

    // The stack matrix and its derivatives, linear in K, then the engine's
    // own coefficient formulas and their changes through dM/dd_k; the same
    // layout as real_index.
    void transfer_matrices(const double* wl, cplx eta0) {
        const size_t N = count_, KB = size_t(K_) * N;
        cplx* const M = coefficients_.data();
        cplx* const X = block_.data() + 4 * KB;
        check_status(forward_backward(count_, K_, wl, d_front_.data(), in(index_.data()), in(eta_.data()), in_.x,
                                      out(M), out(block_.data()), out(X)));
        // The layer matrices in block_[0, 4 KB) are not needed: the changes take their place.
        for (size_t i = 0; i < N; ++i) {
            const cplx es = substrate_eta_[i], P = es * eta0;
            const optics::Coefficients c = optics::coefficients(matrix_at(M, N, i), optics::doubled(eta0), eta0, es, P);
            const optics::DerivativeFactors a = optics::derivative_factors(c, eta0, es);
            for (size_t k = 0; k < size_t(K_); ++k) {
                const optics::CoefficientChanges d =
                    optics::coefficient_changes(matrix_at(X + 4 * k * N, N, i), a, c, eta0, es, P);
                block_[k * N + i] = d.r, block_[KB + k * N + i] = d.t, block_[2 * KB + k * N + i] = d.rb;
            }
            // M is read before its place takes the coefficients.
            M[i] = c.t, M[N + i] = c.r, M[2 * N + i] = c.tb, M[3 * N + i] = c.rb;
        }
    }

    // Seen from inside the substrate: the back coating's reflectance and its
    // transmittance into the exit medium, and the substrate's internal
    // transmittance along the oblique path.
    void back_face(const double* wl, char pol) {
        const size_t N = count_;
        for (size_t i = 0; i < N; ++i) exit_eta_[i] = admittance(exit_n_[i], in_, pol);
        for (size_t e = 0; e < size_t(Kb_) * N; ++e) back_eta_[e] = admittance(back_index_[e], in_, pol);
        for (int j = 0; j < Kb_; ++j) {
            back_index_rows_[j] = in(&back_index_[size_t(j) * N]);
            back_eta_rows_[j] = in(&back_eta_[size_t(j) * N]);
        }
        check_status(calc_M(count_, Kb_, wl, d_back_.data(), back_index_rows_.data(), back_eta_rows_.data(), in_.x,
                            out(back_matrix_.data())));
        const double thickness_nm = d_.substrate_thickness_mm * 1e6;
        for (size_t i = 0; i < N; ++i) {
            const cplx es = substrate_eta_[i], ee = exit_eta_[i];
            const optics::Coefficients c =
                optics::coefficients(matrix_at(back_matrix_.data(), N, i), optics::doubled(es), es, ee, ee * es);
            Rb_[i] = std::norm(c.r);
            Tb_[i] = transmittance(c.t, es, ee);
            const double q = admittance(substrate_n_[i], in_, 's').imag();
            tau_[i] = std::exp((4 * M_PI / wl[i]) * thickness_nm * std::min(q, 0.0));
        }
    }

    // R, T and their derivatives, dR/dd_k = d|r|^2 and dT/dd_k = (Re eta_s /
    // Re eta0) d|t|^2, weighted into the batch sums. With a thick substrate
    // the faces combine incoherently: R = Rf + Tf Tf' X u and
    // T = Tf Tb tau u, with X = Rb tau^2 and u = 1 / (1 - Rf' X),
    // differentiated through Rf, Tf, Rf' and Tf' (t' = t eta_s / eta0 gives
    // dTf').
    void accumulate(cplx eta0, double weight) {
        const size_t N = count_, KB = size_t(K_) * N;
        for (size_t i = 0; i < N; ++i) {
            const cplx t = coefficients_[i], r = coefficients_[N + i];
            const cplx tb = coefficients_[2 * N + i], rb = coefficients_[3 * N + i];
            const cplx es = substrate_eta_[i];
            const double flux = es.real() / eta0.real();
            const double Rf = std::norm(r), Tf = transmittance(t, eta0, es);
            if (!d_.thick()) {
                R_[i] += weight * Rf;
                T_[i] += weight * Tf;
                for (size_t k = 0; k < size_t(K_); ++k) {
                    dR_[k * N + i] += weight * norm_change(r, block_[k * N + i]);
                    dT_[k * N + i] += weight * flux * norm_change(t, block_[KB + k * N + i]);
                }
                continue;
            }
            const double tau = tau_[i], X = Rb_[i] * tau * tau;
            const double Rf_back = std::norm(rb), Tf_back = transmittance(tb, es, eta0);
            const double u = 1 / (1 - Rf_back * X);
            const double back_flux = eta0.real() / es.real() * std::norm(es / eta0);
            for (size_t k = 0; k < size_t(K_); ++k) {
                const double dt_term = norm_change(t, block_[KB + k * N + i]);
                const double dRf = norm_change(r, block_[k * N + i]), dTf = flux * dt_term;
                const double dRf_back = norm_change(rb, block_[2 * KB + k * N + i]), dTf_back = back_flux * dt_term;
                dR_[k * N + i] += weight * (dRf + X * u * (dTf * Tf_back + Tf * dTf_back) +
                                            Tf * Tf_back * X * X * u * u * dRf_back);
                dT_[k * N + i] += weight * (Tb_[i] * tau * (dTf * u + Tf * u * u * X * dRf_back));
            }
            R_[i] += weight * (Rf + Tf * Tf_back * X * u);
            T_[i] += weight * (Tf * Tb_[i] * tau * u);
        }
    }

    void collect(const double* wl, Result& r) {
        for (int i = 0; i < count_; ++i) {
            double worst = 0.0;
            int where = K_ > 0 ? 0 : -1;
            bool finite = std::isfinite(R_[i]) && std::isfinite(T_[i]);
            for (int k = 0; k < K_; ++k) {
                const double dR = std::abs(dR_[size_t(k) * count_ + i]);
                finite = finite && std::isfinite(dR) && std::isfinite(dT_[size_t(k) * count_ + i]);
                if (dR > worst) worst = dR, where = k;
            }
            if (!finite)
                throw ComputeError("the result at " + shortest(wl[i]) +
                                   " nm is not finite: the engine cannot evaluate this design there (a layer many "
                                   "wavelengths thick that absorbs or whose index lies below the angle invariant, or "
                                   "a stop band thousands of layers deep?)");
            r.wavelengths.push_back(wl[i]);
            r.R.push_back(R_[i]);
            r.T.push_back(T_[i]);
            r.max_dR.push_back(worst);
            r.max_layer.push_back(where);
        }
    }

    const Setup& s_;
    const Design& d_;
    const int K_, Kb_;
    Incidence in_{};
    int B_ = 0, count_ = 0;
    std::vector<double> d_front_, d_back_;
    std::vector<int> used_;             // materials named by media and layers
    std::vector<int> row_of_material_;  // its row in material_rows_, or -1
    std::vector<int> row_of_layer_, row_of_back_;
    int incident_row_ = -1, substrate_row_ = -1, exit_row_ = -1;
    std::vector<cplx> material_rows_, index_, eta_, block_, coefficients_, back_index_, back_eta_, back_matrix_;
    std::vector<cplx> incident_n_, substrate_n_, substrate_eta_, exit_n_, exit_eta_;
    std::vector<double> dR_, dT_, R_, T_;  // sums over the polarisations
    std::vector<double> Rb_, Tb_, tau_;    // the back face, per wavelength
    std::vector<const sardune_complex*> index_rows_, eta_rows_, back_index_rows_, back_eta_rows_;
};

}  // namespace

Result compute(const Setup& s, const Progress& progress, const BatchSink& sink) {
    const std::vector<double> wl = wavelength_grid(s.from_nm, s.to_nm, s.step_nm);
    const size_t N = wl.size();
    init(s.threads);
    Run run(s, N);
    const size_t batch = run.batch_length();
    Result r;
    for (auto* v : {&r.wavelengths, &r.R, &r.T, &r.max_dR}) v->reserve(N);
    r.max_layer.reserve(N);
    for (size_t first = 0; first < N; first += batch) {
        run.batch(wl.data() + first, static_cast<int>(std::min(batch, N - first)), r, sink);
        if (progress) progress(std::min(first + batch, N), N);
    }
    return r;
}

}  // namespace spectrum

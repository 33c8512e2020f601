#include "model.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "sardune.h"
#include "text.hpp"

namespace spectrum {

Design default_design() {
    const double centre = 550.0;
    Layer H, L;
    H.n = 2.35, H.k = 0.0005, H.thickness_nm = centre / (4 * 2.35);
    L.n = 1.46, L.k = 0.0001, L.thickness_nm = centre / (4 * 1.46);
    Design d = empty_design();
    for (int j = 0; j < 19; ++j) d.layers.push_back(j % 2 == 0 ? H : L);
    return d;
}

Incidence incidence(double index, double angle_deg) {
    const double theta = angle_deg * M_PI / 180.0;
    return {index, index * std::sin(theta), index * std::cos(theta)};
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

// The engine's requests of one batch need, per layer and wavelength, an
// index, an admittance and a derivative sum, and either the
// forward-backward matrices (eight complex values) or the real-index
// derivatives (three), which share one block. The batch is as long as this
// budget allows, so memory does not grow with the number of wavelengths.
constexpr size_t batch_budget_bytes = size_t(32) << 20;

size_t bytes_per_wavelength(size_t layers, size_t materials) {
    return layers * (10 * sizeof(cplx) + sizeof(double)) + materials * sizeof(cplx) + 9 * sizeof(cplx);
}

const sardune_complex* in(const cplx* p) { return reinterpret_cast<const sardune_complex*>(p); }
sardune_complex* out(cplx* p) { return reinterpret_cast<sardune_complex*>(p); }

void check_status(int status) {
    if (status == SARDUNE_ERR_OUT_OF_MEMORY) throw std::bad_alloc();
    if (status != SARDUNE_OK) throw ComputeError("the engine refused the request (status " + std::to_string(status) + ")");
}

// One run: the workspace sized for the longest batch, reused by each.
class Run {
public:
    Run(const Setup& s, size_t wavelengths)
        : s_(s), layers_(s.design.layers), K_(static_cast<int>(layers_.size())),
          in_(incidence(s.incident_index, s.angle_deg)) {
        // Each material named by a layer gets a row of indices per batch.
        std::vector<int> row_of_material(s.design.materials.size(), -1);
        for (const Layer& l : layers_) {
            d_.push_back(l.thickness_nm);
            if (l.material >= 0 && row_of_material[l.material] < 0) {
                row_of_material[l.material] = static_cast<int>(used_.size());
                used_.push_back(l.material);
            }
            row_of_layer_.push_back(l.material >= 0 ? row_of_material[l.material] : -1);
        }
        const size_t fit = batch_budget_bytes / bytes_per_wavelength(layers_.size(), used_.size());
        B_ = static_cast<int>(std::clamp<size_t>(s.batch > 0 ? size_t(s.batch) : fit, 1, wavelengths));
        const size_t KB = size_t(K_) * B_;
        material_rows_.resize(used_.size() * B_);
        index_.resize(KB);
        eta_.resize(KB);
        block_.resize(8 * KB);
        dR_.resize(KB);
        R_.resize(B_);
        T_.resize(B_);
        coefficients_.resize(size_t(4) * B_);
        substrate_.resize(B_);
        index_rows_.resize(K_);
        eta_rows_.resize(K_);
    }

    size_t batch_length() const { return size_t(B_); }

    void batch(const double* wl, int count, Result& r) {
        count_ = count;
        fill_indices(wl);
        const bool real_path = lossless_above_x();
        std::fill_n(dR_.begin(), size_t(K_) * count, 0.0);
        std::fill_n(R_.begin(), count, 0.0);
        std::fill_n(T_.begin(), count, 0.0);
        if (s_.polarisation == 'u') {
            polarisation(wl, 's', 0.5, real_path);
            polarisation(wl, 'p', 0.5, real_path);
        } else {
            polarisation(wl, s_.polarisation, 1.0, real_path);
        }
        collect(wl, r);
    }

private:
    // Indices per layer, layer-major with the batch's own length as stride.
    // A material is evaluated once per batch, whatever the number of its layers.
    void fill_indices(const double* wl) {
        for (size_t m = 0; m < used_.size(); ++m)
            for (int i = 0; i < count_; ++i)
                material_rows_[m * count_ + i] = index_at(s_.design.materials[used_[m]], wl[i]);
        for (int j = 0; j < K_; ++j) {
            cplx* row = &index_[size_t(j) * count_];
            if (row_of_layer_[j] < 0)
                std::fill_n(row, count_, cplx(layers_[j].n, -layers_[j].k));
            else
                std::copy_n(&material_rows_[size_t(row_of_layer_[j]) * count_], count_, row);
        }
    }

    // The real-index entry point takes lossless layers whose index lies
    // above the angle invariant (else a layer's wave would not propagate).
    bool lossless_above_x() const {
        return std::all_of(index_.begin(), index_.begin() + size_t(K_) * count_,
                           [x = in_.x](cplx n) { return n.imag() == 0 && n.real() > x; });
    }

    void polarisation(const double* wl, char pol, double weight, bool real_path) {
        const cplx eta0 = admittance(in_.index, in_, pol);
        std::fill_n(substrate_.begin(), count_, admittance(s_.substrate_index, in_, pol));
        for (size_t e = 0; e < size_t(K_) * count_; ++e) eta_[e] = admittance(index_[e], in_, pol);
        if (real_path)
            real_index(wl, eta0);
        else
            transfer_matrices(wl, eta0);
        accumulate(eta0, weight);
    }

    // t, r and dr/dd_k into coefficients_ (t at [i], r at [count + i]) and
    // block_ (dr at [k count + i]).
    void real_index(const double* wl, cplx eta0) {
        const size_t KB = size_t(K_) * count_;
        cplx* const c = coefficients_.data();
        sardune_complex* record[7] = {out(c), out(c + 2 * count_), out(c + count_), out(c + 3 * count_),
                                      out(&block_[KB]), out(&block_[0]), out(&block_[2 * KB])};
        for (int j = 0; j < K_; ++j) {
            index_rows_[j] = in(&index_[size_t(j) * count_]);
            eta_rows_[j] = in(&eta_[size_t(j) * count_]);
        }
        check_status(update_optiprops_real_n_simd(count_, K_, wl, d_.data(), index_rows_.data(), eta_rows_.data(),
                                                  in(&eta0), in(substrate_.data()), in_.x, record, true));
    }

    // The stack matrix and its derivatives, linear in K, then the
    // coefficient formulas: D = eta0 M00 + eta_s M11 + eta0 eta_s M01 + M10,
    // t = 2 eta0 / D, r = (eta0 M00 - eta_s M11 + eta0 eta_s M01 - M10) / D,
    // and their derivatives through dM/dd_k in place of M.
    void transfer_matrices(const double* wl, cplx eta0) {
        const size_t N = count_, KB = size_t(K_) * N;
        cplx* const M = coefficients_.data();
        cplx* const L = &block_[0];
        cplx* const X = &block_[4 * KB];
        check_status(forward_backward(count_, K_, wl, d_.data(), in(index_.data()), in(eta_.data()), in_.x, out(M),
                                      out(L), out(X)));
        for (size_t i = 0; i < N; ++i) {
            const cplx es = substrate_[i], p = eta0 * es;
            const cplx m00 = M[i], m01 = M[N + i], m10 = M[2 * N + i], m11 = M[3 * N + i];
            const cplx D = eta0 * m00 + es * m11 + p * m01 + m10;
            const cplx t = 2.0 * eta0 / D, r = (eta0 * m00 - es * m11 + p * m01 - m10) / D;
            const cplx a = t / (2.0 * eta0);
            for (size_t k = 0; k < size_t(K_); ++k) {
                const cplx* x = X + 4 * k * N + i;
                block_[k * N + i] = a * (eta0 * (1.0 - r) * x[0] - (1.0 + r) * es * x[3 * N] +
                                         p * (1.0 - r) * x[N] - (1.0 + r) * x[2 * N]);
            }
            // M is read before its place takes t and r.
            M[i] = t, M[N + i] = r;
        }
    }

    // R, T and dR/dd_k = 2 Re(conj(r) dr/dd_k), weighted into the batch sums.
    void accumulate(cplx eta0, double weight) {
        const size_t N = count_;
        const double flux = substrate_[0].real() / eta0.real();
        for (size_t i = 0; i < N; ++i) {
            const cplx t = coefficients_[i], r = coefficients_[N + i];
            R_[i] += weight * std::norm(r);
            T_[i] += weight * flux * std::norm(t);
            for (size_t k = 0; k < size_t(K_); ++k)
                dR_[k * N + i] += weight * 2.0 * std::real(std::conj(r) * block_[k * N + i]);
        }
    }

    void collect(const double* wl, Result& r) {
        for (int i = 0; i < count_; ++i) {
            double worst = 0.0;
            int where = 0;
            bool finite = std::isfinite(R_[i]) && std::isfinite(T_[i]);
            for (int k = 0; k < K_; ++k) {
                const double dR = std::abs(dR_[size_t(k) * count_ + i]);
                finite = finite && std::isfinite(dR);
                if (dR > worst) worst = dR, where = k;
            }
            if (!finite)
                throw ComputeError("the result at " + shortest(wl[i]) +
                                   " nm is not finite: the engine cannot evaluate this design there (a layer many "
                                   "wavelengths thick that absorbs, or whose index lies below the angle invariant?)");
            r.wavelengths.push_back(wl[i]);
            r.R.push_back(R_[i]);
            r.T.push_back(T_[i]);
            r.max_dR.push_back(worst);
            r.max_layer.push_back(where);
        }
    }

    const Setup& s_;
    const std::vector<Layer>& layers_;
    const int K_;
    const Incidence in_;
    int B_ = 0, count_ = 0;
    std::vector<double> d_;
    std::vector<int> used_;          // materials named by layers
    std::vector<int> row_of_layer_;  // its material's row in material_rows_, or -1
    std::vector<cplx> material_rows_, index_, eta_, block_, coefficients_, substrate_;
    std::vector<double> dR_, R_, T_;  // sums over the polarisations
    std::vector<const sardune_complex*> index_rows_, eta_rows_;
};

}  // namespace

Result compute(const Setup& s, const Progress& progress) {
    const std::vector<double> wl = wavelength_grid(s.from_nm, s.to_nm, s.step_nm);
    const size_t N = wl.size();
    init(s.threads);
    Run run(s, N);
    const size_t batch = run.batch_length();
    Result r;
    for (auto* v : {&r.wavelengths, &r.R, &r.T, &r.max_dR}) v->reserve(N);
    r.max_layer.reserve(N);
    for (size_t first = 0; first < N; first += batch) {
        run.batch(wl.data() + first, static_cast<int>(std::min(batch, N - first)), r);
        if (progress) progress(std::min(first + batch, N), N);
    }
    return r;
}

}  // namespace spectrum

#include "model.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "sardune.h"

namespace spectrum {

std::vector<Layer> default_design() {
    const double centre = 550.0;
    const Layer H{2.35, 0.0005, centre / (4 * 2.35)}, L{1.46, 0.0001, centre / (4 * 1.46)};
    std::vector<Layer> layers;
    for (int j = 0; j < 19; ++j) layers.push_back(j % 2 == 0 ? H : L);
    return layers;
}

namespace {

bool parse_number(const std::string& text, double& value) {
    std::istringstream in(text);
    in >> value;
    return !in.fail() && (in >> std::ws).eof() && std::isfinite(value);
}

}  // namespace

std::optional<std::vector<Layer>> parse_design(std::istream& in, const std::string& source, std::string& error) {
    static const char* const fields[] = {"index", "extinction coefficient", "thickness"};
    std::vector<Layer> layers;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = source + ":" + std::to_string(number) + ": ";
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> tokens;
        for (std::string w; words >> w;) tokens.push_back(w);
        if (tokens.empty()) continue;
        if (tokens.size() != 3) {
            error = where + "expected 3 fields (index, extinction coefficient, thickness in nm), found " +
                    std::to_string(tokens.size());
            return std::nullopt;
        }
        double v[3];
        for (int f = 0; f < 3; ++f)
            if (!parse_number(tokens[f], v[f])) {
                error = where + fields[f] + ": '" + tokens[f] + "' is not a number";
                return std::nullopt;
            }
        if (v[0] <= 0)
            error = where + "index: must be positive, found " + tokens[0];
        else if (v[1] < 0)
            error = where + "extinction coefficient: must not be negative, found " + tokens[1];
        else if (v[2] < 0)
            error = where + "thickness: must not be negative, found " + tokens[2];
        if (!error.empty()) return std::nullopt;
        layers.push_back({v[0], v[1], v[2]});
    }
    if (in.bad()) {
        error = source + ": read error";
        return std::nullopt;
    }
    if (layers.empty()) {
        error = source + ": no layers";
        return std::nullopt;
    }
    return layers;
}

cplx admittance(cplx index, double x, char polarisation) {
    const cplx n2 = index * index;
    const cplx q = std::sqrt(cplx(n2.real() - x * x, n2.imag()));
    return polarisation == 'p' ? n2 / q : q;
}

std::vector<double> wavelength_grid(double from, double to, double step) {
    const long count = static_cast<long>(std::floor((to - from) / step + 1e-9)) + 1;
    std::vector<double> grid;
    for (long i = 0; i < count; ++i) grid.push_back(from + step * i);
    return grid;
}

int compute(const Setup& s, Result& out) {
    const std::vector<double> wl = wavelength_grid(s.from_nm, s.to_nm, s.step_nm);
    const int N = static_cast<int>(wl.size()), K = static_cast<int>(s.layers.size());
    const double x = s.incident_index * std::sin(s.angle_deg * M_PI / 180.0);
    const cplx eta0 = admittance(s.incident_index, x, s.polarisation);
    const cplx eta_s = admittance(s.substrate_index, x, s.polarisation);

    std::vector<double> d;
    std::vector<cplx> n(size_t(K) * N), eta(size_t(K) * N), substrate(N, eta_s);
    std::vector<const sardune_complex*> n_rows, eta_rows;
    for (int j = 0; j < K; ++j) {
        const cplx index(s.layers[j].n, -s.layers[j].k);
        d.push_back(s.layers[j].thickness_nm);
        std::fill_n(n.begin() + size_t(j) * N, N, index);
        std::fill_n(eta.begin() + size_t(j) * N, N, admittance(index, x, s.polarisation));
        n_rows.push_back(reinterpret_cast<const sardune_complex*>(n.data() + size_t(j) * N));
        eta_rows.push_back(reinterpret_cast<const sardune_complex*>(eta.data() + size_t(j) * N));
    }

    // update_top_props gives every partial coating a record, and record j
    // holds derivatives for layers 0 .. j: memory grows as K^2 per
    // wavelength. Wavelengths are independent, so the grid goes to the engine
    // in batches that keep the records below a fixed budget.
    init(s.threads);
    const size_t per_wavelength = (size_t(K) * 4 + size_t(K) * (K + 1) / 2 * 3) * sizeof(cplx);
    const int batch = static_cast<int>(std::clamp<size_t>((size_t(64) << 20) / per_wavelength, 1, size_t(N)));
    std::vector<std::vector<cplx>> storage(size_t(K) * 7);
    std::vector<std::vector<sardune_complex*>> slots(K, std::vector<sardune_complex*>(7));
    std::vector<sardune_complex* const*> records(K);
    for (int j = 0; j < K; ++j) {
        for (int slot = 0; slot < 7; ++slot) {
            std::vector<cplx>& v = storage[size_t(j) * 7 + slot];
            v.resize(size_t(batch) * (slot < 4 ? 1 : j + 1));
            slots[j][slot] = reinterpret_cast<sardune_complex*>(v.data());
        }
        records[j] = slots[j].data();
    }
    std::vector<const sardune_complex*> n_at(K), eta_at(K);
    const sardune_complex eta0_c{eta0.real(), eta0.imag()};

    out = Result{wl, {}, {}, {}, {}};
    const double flux = eta_s.real() / eta0.real();
    const std::vector<cplx>* last = &storage[size_t(K - 1) * 7];
    for (int first = 0; first < N; first += batch) {
        const int count = std::min(batch, N - first);
        for (int j = 0; j < K; ++j) n_at[j] = n_rows[j] + first, eta_at[j] = eta_rows[j] + first;
        // The derivative blocks of a batch are `count` long: the stride is
        // the batch's own N.
        const int status = update_top_props(count, K, wl.data() + first, d.data(), n_at.data(), eta_at.data(),
                                            &eta0_c, reinterpret_cast<const sardune_complex*>(substrate.data()) + first,
                                            x, nullptr, 0, records.data(), true);
        if (status != SARDUNE_OK) return status;
        for (int i = 0; i < count; ++i) {
            const cplx t = last[0][i], r = last[2][i];
            out.R.push_back(std::norm(r));
            out.T.push_back(flux * std::norm(t));
            double worst = 0.0;
            int where = 0;
            for (int k = 0; k < K; ++k) {
                const double dR = std::abs(2.0 * std::real(std::conj(r) * last[5][size_t(k) * count + i]));
                if (dR > worst) worst = dR, where = k;
            }
            out.max_dR.push_back(worst);
            out.max_layer.push_back(where);
        }
    }
    return SARDUNE_OK;
}

}  // namespace spectrum

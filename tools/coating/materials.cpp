#include "materials.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "text.hpp"

namespace spectrum {

namespace {

// Photon energy in eV of a vacuum wavelength in nm: h c / e in eV nm.
constexpr double ev_nm = 1239.8419843320026;

Material sellmeier_glass(const char* name, std::vector<double> terms) {
    Material m;
    m.name = name;
    m.model = Model::sellmeier;
    m.terms = std::move(terms);
    return m;
}

double table_value(const Table& t, const std::vector<double>& column, double wavelength_nm) {
    const auto& w = t.wavelength_nm;
    if (!(wavelength_nm >= w.front() && wavelength_nm <= w.back()))
        throw InputError(escaped(t.file) + ": " + shortest(wavelength_nm) + " nm is outside the table's range " +
                         shortest(w.front()) + " to " + shortest(w.back()) + " nm");
    // The row at or below the wavelength; the last row pairs with the one before.
    const size_t hi = std::min<size_t>(std::upper_bound(w.begin(), w.end(), wavelength_nm) - w.begin(), w.size() - 1);
    const size_t lo = hi - 1;
    const double f = (wavelength_nm - w[lo]) / (w[hi] - w[lo]);
    return column[lo] + f * (column[hi] - column[lo]);
}

double real_index(const Material& m, double wavelength_nm) {
    const double l2 = (wavelength_nm / 1000) * (wavelength_nm / 1000);  // um^2
    switch (m.model) {
        case Model::constant:
            return m.terms[0];
        case Model::cauchy:
            return m.terms[0] + m.terms[1] / l2 + m.terms[2] / (l2 * l2);
        case Model::sellmeier: {
            double n2 = 1.0;
            for (size_t p = 0; p + 1 < m.terms.size(); p += 2) n2 += m.terms[p] * l2 / (l2 - m.terms[p + 1]);
            // A negative n^2 has no real root: NaN, reported below.
            return n2 > 0 ? std::sqrt(n2) : std::nan("");
        }
        case Model::table:
            return table_value(*m.table, m.table->n, wavelength_nm);
    }
    return std::nan("");
}

double extinction(const Material& m, double wavelength_nm) {
    if (m.model == Model::table) return table_value(*m.table, m.table->k, wavelength_nm);
    switch (m.extinction) {
        case Extinction::none:
            return 0.0;
        case Extinction::constant:
            return m.k;
        case Extinction::urbach:
            return m.urbach_k0 * std::exp((ev_nm / wavelength_nm - m.urbach_e0_ev) / m.urbach_eu_ev);
    }
    return std::nan("");
}

std::string material_at(const Material& m, double wavelength_nm) {
    const std::string where = m.file.empty() ? m.name + " (built in)"
                                             : escaped(m.file) + ":" + std::to_string(m.line) + ": material: " + m.name;
    return where + " at " + shortest(wavelength_nm) + " nm: ";
}

}  // namespace

std::string index_problem(double n) {
    if (n > 0 && n <= max_index) return {};
    return "n " + shortest(n) + " is outside 0 < n <= 100";
}

std::string extinction_problem(double k) {
    if (k >= 0 && k <= max_extinction) return {};
    return "k " + shortest(k) + " is outside 0 <= k <= 100";
}

std::vector<Material> builtin_materials() {
    // Published Sellmeier coefficients (B_i, C_i in um^2), both lossless.
    return {sellmeier_glass("fused_silica",
                            {0.6961663, 0.00467914826, 0.4079426, 0.0135120631, 0.8974794, 97.9340025}),
            sellmeier_glass("N-BK7", {1.03961212, 0.00600069867, 0.231792344, 0.0200179144, 1.01046945, 103.560653})};
}

bool lossless(const Material& m) {
    if (m.model == Model::table)
        return std::all_of(m.table->k.begin(), m.table->k.end(), [](double k) { return k == 0; });
    return m.extinction == Extinction::none || (m.extinction == Extinction::constant && m.k == 0) ||
           (m.extinction == Extinction::urbach && m.urbach_k0 == 0);
}

cplx index_at(const Material& m, double wavelength_nm) {
    const double n = real_index(m, wavelength_nm), k = extinction(m, wavelength_nm);
    std::string problem = index_problem(n);
    if (problem.empty()) problem = extinction_problem(k);
    if (!problem.empty()) {
        if (m.model == Model::sellmeier && !(n > 0)) problem = "n^2 is not positive";
        throw InputError(material_at(m, wavelength_nm) + problem);
    }
    return {n, -k};
}

}  // namespace spectrum

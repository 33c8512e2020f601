#include "materials.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "text.hpp"

namespace spectrum {

namespace {

// Photon energy in eV of a vacuum wavelength in nm: h c / e in eV nm.
constexpr double ev_nm = 1239.8419843320026;

// Linear in wavelength between the rows around it; the end rows beyond them.
double interpolate(const std::vector<double>& w, const std::vector<double>& column, double wavelength_nm) {
    if (!(wavelength_nm > w.front())) return column.front();
    if (!(wavelength_nm < w.back())) return column.back();
    const size_t hi = std::upper_bound(w.begin(), w.end(), wavelength_nm) - w.begin();
    const size_t lo = hi - 1;
    const double f = (wavelength_nm - w[lo]) / (w[hi] - w[lo]);
    return column[lo] + f * (column[hi] - column[lo]);
}

double table_value(const Table& t, const std::vector<double>& column, double wavelength_nm, bool extrapolate) {
    const auto& w = t.wavelength_nm;
    if (!extrapolate && !(wavelength_nm >= w.front() && wavelength_nm <= w.back()))
        throw InputError(escaped(t.file) + ": " + shortest(wavelength_nm) + " nm is outside the table's range " +
                         shortest(w.front()) + " to " + shortest(w.back()) + " nm");
    return interpolate(w, column, wavelength_nm);
}

double root(double n_squared) { return n_squared > 0 ? std::sqrt(n_squared) : std::nan(""); }

double real_index(const Material& m, double wavelength_nm, bool extrapolate) {
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
            return root(n2);
        }
        case Model::table:
            return table_value(*m.table, m.table->n, wavelength_nm, extrapolate);
        case Model::database: {
            const Dispersion& d = *m.data;
            if (d.formula == 0) return interpolate(d.n_wavelength_nm, d.n, wavelength_nm);
            return formula_index(d.formula, d.coefficients, wavelength_nm);
        }
    }
    return std::nan("");
}

double extinction(const Material& m, double wavelength_nm, bool extrapolate) {
    if (m.model == Model::table) return table_value(*m.table, m.table->k, wavelength_nm, extrapolate);
    if (m.model == Model::database)
        return m.data->k.empty() ? 0.0 : interpolate(m.data->k_wavelength_nm, m.data->k, wavelength_nm);
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

bool formula_of_n_squared(int formula) { return formula != 5 && formula != 6 && formula != 7; }

// The formulas as the database writes them, lambda in um, C1 first; each
// sum runs over the terms present, left to right.
double formula_index(int formula, const std::vector<double>& c, double wavelength_nm) {
    const double l = wavelength_nm / 1000, l2 = l * l;
    const size_t count = c.size();
    auto C = [&c](size_t i) { return c[i - 1]; };
    // C(i) lambda^C(i+1) for the pairs from `first` on.
    auto powers = [&](size_t first) {
        double s = 0.0;
        for (size_t i = first; i + 1 <= count; i += 2) s += C(i) * std::pow(l, C(i + 1));
        return s;
    };
    switch (formula) {
        case 1:  // Sellmeier: n^2 - 1 = C1 + sum C(2i) l^2 / (l^2 - C(2i+1)^2)
        case 2: {  // Sellmeier-2: the same with C(2i+1) for its square
            double n2 = 1.0 + C(1);
            for (size_t i = 2; i + 1 <= count; i += 2) {
                const double pole = formula == 1 ? C(i + 1) * C(i + 1) : C(i + 1);
                n2 += C(i) * l2 / (l2 - pole);
            }
            return root(n2);
        }
        case 3:  // polynomial: n^2 = C1 + sum C(2i) l^C(2i+1)
            return root(C(1) + powers(2));
        case 4: {  // n^2 = C1 + C2 l^C3 / (l^2 - C4^C5) + C6 l^C7 / (l^2 - C8^C9) + sum from C10
            double n2 = C(1);
            if (count >= 5) n2 += C(2) * std::pow(l, C(3)) / (l2 - std::pow(C(4), C(5)));
            if (count >= 9) n2 += C(6) * std::pow(l, C(7)) / (l2 - std::pow(C(8), C(9)));
            return root(n2 + powers(10));
        }
        case 5:  // Cauchy: n = C1 + sum C(2i) l^C(2i+1)
            return C(1) + powers(2);
        case 6: {  // gases: n - 1 = C1 + sum C(2i) / (C(2i+1) - l^-2)
            double n = 1.0 + C(1);
            for (size_t i = 2; i + 1 <= count; i += 2) n += C(i) / (C(i + 1) - 1 / l2);
            return n;
        }
        case 7: {  // Herzberger: n = C1 + C2 L + C3 L^2 + C4 l^2 + C5 l^4 + C6 l^6, L = 1/(l^2 - 0.028)
            const double L = 1 / (l2 - 0.028);
            const double term[] = {1.0, L, L * L, l2, l2 * l2, l2 * l2 * l2};
            double n = 0.0;
            for (size_t i = 1; i <= count; ++i) n += C(i) * term[i - 1];
            return n;
        }
        case 8: {  // retro: (n^2 - 1)/(n^2 + 2) = C1 + C2 l^2/(l^2 - C3) + C4 l^2
            double r = C(1);
            if (count >= 3) r += C(2) * l2 / (l2 - C(3));
            if (count >= 4) r += C(4) * l2;
            return root((1 + 2 * r) / (1 - r));
        }
        case 9: {  // exotic: n^2 = C1 + C2/(l^2 - C3) + C4 (l - C5)/((l - C5)^2 + C6)
            double n2 = C(1);
            if (count >= 3) n2 += C(2) / (l2 - C(3));
            if (count >= 6) n2 += C(4) * (l - C(5)) / ((l - C(5)) * (l - C(5)) + C(6));
            return root(n2);
        }
    }
    return std::nan("");
}

bool lossless(const Material& m) {
    if (m.model == Model::table)
        return std::all_of(m.table->k.begin(), m.table->k.end(), [](double k) { return k == 0; });
    if (m.model == Model::database)
        return std::all_of(m.data->k.begin(), m.data->k.end(), [](double k) { return k == 0; });
    return m.extinction == Extinction::none || (m.extinction == Extinction::constant && m.k == 0) ||
           (m.extinction == Extinction::urbach && m.urbach_k0 == 0);
}

bool constant_index(const Material& m) { return m.model == Model::constant; }

cplx index_at(const Material& m, double wavelength_nm, bool extrapolate) {
    if (m.model == Model::database && !extrapolate &&
        !(wavelength_nm >= m.data->from_nm && wavelength_nm <= m.data->to_nm))
        throw InputError(material_at(m, wavelength_nm) + "outside the data's range " + shortest(m.data->from_nm) +
                         " to " + shortest(m.data->to_nm) + " nm (" + escaped(m.data->file) +
                         "; --extrapolate evaluates it there)");
    const double n = real_index(m, wavelength_nm, extrapolate), k = extinction(m, wavelength_nm, extrapolate);
    std::string problem = index_problem(n);
    if (problem.empty()) problem = extinction_problem(k);
    if (!problem.empty()) {
        const bool squared = m.model == Model::sellmeier ||
                             (m.model == Model::database && m.data->formula != 0 &&
                              formula_of_n_squared(m.data->formula));
        if (squared && std::isnan(n)) problem = "n^2 is not positive";
        throw InputError(material_at(m, wavelength_nm) + problem);
    }
    return {n, -k};
}

}  // namespace spectrum

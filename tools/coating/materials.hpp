// Optical materials: the models a design file can name, data files of the
// optical-constants database, and the physical bounds every index must
// respect.
#pragma once

#include <complex>
#include <memory>
#include <string>
#include <vector>

namespace spectrum {

using cplx = std::complex<double>;

// Physically meaningful ranges; design files, tables and every evaluated
// dispersion model are held to them.
constexpr double max_index = 100.0;         // 0 < n <= 100
constexpr double max_extinction = 100.0;    // 0 <= k <= 100
constexpr double max_thickness_nm = 1e7;    // 0 <= d <= 1e7 nm

// What is wrong with n or k, or an empty string when it lies in its range.
std::string index_problem(double n);
std::string extinction_problem(double k);

// Rows of a table file: n and k interpolated linearly in wavelength.
struct Table {
    std::string file;  // as it is named in messages
    std::vector<double> wavelength_nm, n, k;
};

// A data file of the optical-constants database: n from one of its nine
// formulas (coefficients for wavelengths in um) or from rows, k from rows or
// 0; rows interpolated linearly in wavelength. The data say nothing outside
// [from_nm, to_nm], where n and k are both given.
struct Dispersion {
    std::string file;  // as it is named in messages
    int formula = 0;   // 1 to 9, or 0 when n is tabulated
    std::vector<double> coefficients;
    std::vector<double> n_wavelength_nm, n;
    std::vector<double> k_wavelength_nm, k;  // no rows: k = 0
    double from_nm = 0.0, to_nm = 0.0;
};

enum class Model { constant, cauchy, sellmeier, table, database };
enum class Extinction { none, constant, urbach };

struct Material {
    std::string name;
    std::string file;  // where it is defined; empty for a built-in
    long line = 0;
    Model model = Model::constant;
    // constant: n; cauchy: A, B, C; sellmeier: B1, C1, B2, C2, ... (C in um^2)
    std::vector<double> terms;
    Extinction extinction = Extinction::none;
    double k = 0.0;                         // constant extinction
    double urbach_k0 = 0.0, urbach_e0_ev = 0.0, urbach_eu_ev = 1.0;
    std::shared_ptr<const Table> table;     // tables read once, shared by materials
    std::shared_ptr<const Dispersion> data; // database: the data file, read once
    std::string page;                       // database: the page or .yml path as named
};

// n of formula 1 to 9 of the database at a wavelength in nm: NaN where the
// formula gives no real index (n^2 <= 0).
double formula_index(int formula, const std::vector<double>& c, double wavelength_nm);

// Whether a formula gives n^2 (1 to 4, 8, 9) rather than n itself.
bool formula_of_n_squared(int formula);

// Whether the model gives k = 0 at every wavelength.
bool lossless(const Material& m);

// Whether the index is the same at every wavelength.
bool constant_index(const Material& m);

// The complex index n - ik at a wavelength, held to the bounds above and to
// the wavelengths of a table or a data file, unless `extrapolate` (then
// tables hold their end rows and formulas are evaluated beyond their range);
// a violation is an InputError naming the material and the wavelength.
cplx index_at(const Material& m, double wavelength_nm, bool extrapolate = false);

}  // namespace spectrum

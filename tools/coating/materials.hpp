// Optical materials: the models a design file can name, the two built-in
// glasses, and the physical bounds every index must respect.
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

enum class Model { constant, cauchy, sellmeier, table };
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
};

// fused_silica and N-BK7.
std::vector<Material> builtin_materials();

// Whether the model gives k = 0 at every wavelength.
bool lossless(const Material& m);

// The complex index n - ik at a wavelength, held to the bounds above; a
// violation is an InputError naming the material and the wavelength.
cplx index_at(const Material& m, double wavelength_nm);

}  // namespace spectrum

// The thin-slab variations by their definition, in double precision: the
// test inputs (a host layer between two partial coatings, t, t', r, r' of the
// whole coating) and the first-order changes of t, r and r' for a slab at each
// position. Shared by the tests and the benchmark.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <vector>

namespace slab {

using C = std::complex<double>;
using Mat = std::array<C, 4>;  // (0,0), (0,1), (1,0), (1,1)

Mat mul(const Mat& a, const Mat& b);
// The layer matrix for normal component q, admittance eta, wave number k0, thickness d.
Mat layer(C q, C eta, double k0, double d);
C q_of(C n, double x);

// One request's inputs. Admittances are those of s-polarisation (eta = q),
// and t, t', r, r' are the coefficients of the coating P * L_host(d) * Q, so
// the same data serves the physical check. Matrix stacks are in planes:
// element (r, c) of wavelength j at (2r + c) * N + j.
struct Case {
    uint32_t N = 0, nz = 0;
    double x = 0.4, d = 150.0;
    C e0, n_host = {1.46, 0.0}, n_slab = {2.3, 0.05};
    std::vector<double> wl, z;
    std::vector<C> nh, eh, na, ea, es, t, tb, r, rb, P, Q;
    bool hasP = true, hasQ = true;
};

Case make_case(uint32_t N, uint32_t nz, unsigned seed, bool hasP = true, bool hasQ = true);

// dt, dr, dr' (n_z * N each, position-major) by the definition.
void reference(const Case& c, std::vector<C>& dt, std::vector<C>& dr, std::vector<C>& drb);

// Coefficients t, r, r' with the host material at z replaced by a slab of
// thickness e (e < 0 formally): P * L_h(t2 - e/2) * L_a(e) * L_h(t1 - e/2) * Q.
std::array<C, 3> coefficients_with_slab(const Case& c, size_t j, double z, double e);

}  // namespace slab

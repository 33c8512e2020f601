// An application that defines every name the engine exports, as a program
// may by accident (an `init` of its own, say). The engine, loaded beside it,
// must still run its own code: none of the functions below may ever run
// when the engine's entry points are called. Linked with its symbols
// exported, so that any call the library made through an exported name would
// land here.
#include <dlfcn.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "interface/exports.hpp"
#include "sardune.h"

// The stand-ins take the engine's parameter lists and use none of them.
#pragma GCC diagnostic ignored "-Wunused-parameter"

namespace {
int application_calls = 0;
int mine() {
    ++application_calls;
    return -999;
}
using cplx = std::complex<double>;
}  // namespace

// ---- the application's own functions, one per exported name

// Each C name twice: the first name and the sardune_ one.
#define STAND_INS(prefix)                                                                                          \
    int prefix##init(int) { return mine(); }                                                                       \
    int prefix##calc_M(int, int, const double*, const double*, const sardune_complex* const*,                     \
                       const sardune_complex* const*, double, sardune_complex*) {                                 \
        return mine();                                                                                             \
    }                                                                                                              \
    int prefix##forward(int, int, const double*, const double*, const sardune_complex*, const sardune_complex*,   \
                        double, sardune_complex*, sardune_complex*) {                                              \
        return mine();                                                                                             \
    }                                                                                                              \
    int prefix##forward_backward(int, int, const double*, const double*, const sardune_complex*,                  \
                                 const sardune_complex*, double, sardune_complex*, sardune_complex*,              \
                                 sardune_complex*) {                                                               \
        return mine();                                                                                             \
    }                                                                                                              \
    int prefix##update_top_props(int, int, const double*, const double*, const sardune_complex* const*,           \
                                 const sardune_complex* const*, const sardune_complex*, const sardune_complex*,   \
                                 double, const sardune_complex*, int, sardune_complex* const* const*, bool) {     \
        return mine();                                                                                             \
    }                                                                                                              \
    int prefix##update_optiprops_real_n(int, int, const double*, const double*, const sardune_complex* const*,    \
                                        const sardune_complex* const*, const sardune_complex*,                    \
                                        const sardune_complex*, double, sardune_complex* const*, bool) {          \
        return mine();                                                                                             \
    }                                                                                                              \
    int prefix##update_optiprops_real_n_simd(int, int, const double*, const double*,                              \
                                             const sardune_complex* const*, const sardune_complex* const*,        \
                                             const sardune_complex*, const sardune_complex*, double,              \
                                             sardune_complex* const*, bool) {                                      \
        return mine();                                                                                             \
    }                                                                                                              \
    int prefix##matmul_22X(int, int, const sardune_complex* const*, sardune_complex*) { return mine(); }          \
    int prefix##calc_v_t_tau(SARDUNE_CALC_V_T_TAU_PARAMS) { return mine(); }                                      \
    int prefix##calc_v_t_tau_sse(SARDUNE_CALC_V_T_TAU_PARAMS) { return mine(); }                                  \
    int prefix##calc_v_t_tau_avx(SARDUNE_CALC_V_T_TAU_PARAMS) { return mine(); }

extern "C" {
STAND_INS()
STAND_INS(sardune_)
const char* sardune_implementation(void) {
    mine();
    return "none";
}
}

void calc_M_(int, int, int, const OneDArray<double>&, const OneDArray<double>&, const cplx* const*,
             const cplx* const*, double, const ThreeDArray<cplx>&) {
    mine();
}
void forward_(int, int, int, const OneDArray<double>&, const OneDArray<double>&, const TwoDArray<cplx>&,
              const TwoDArray<cplx>&, double, const ThreeDArray<cplx>&, const ThreeDArray<cplx>&) {
    mine();
}
void forward_backward_(int, int, int, const OneDArray<double>&, const OneDArray<double>&, const TwoDArray<cplx>&,
                       const TwoDArray<cplx>&, double, const ThreeDArray<cplx>&, const FourDArray<cplx>&,
                       const FourDArray<cplx>&) {
    mine();
}
void update_top_props_(int, int, int, int, const OneDArray<double>&, const OneDArray<double>&, const cplx* const*,
                       const cplx* const*, cplx, const OneDArray<cplx>&, double, const ThreeDArray<cplx>&, int,
                       cplx* const* const*, bool) {
    mine();
}
void update_optiprops_real_n_(int, int, const double*, const double*, const cplx* const*, const cplx* const*, cplx,
                              const cplx*, double, cplx* const*, bool, double*) {
    mine();
}
void update_optiprops_real_n_simd_(int, int, int, int, const double*, const double*, const cplx* const*,
                                   const cplx* const*, cplx, const cplx*, double, cplx* const*, bool) {
    mine();
}
void update_optiprops_real_n_simd_avx(int, int, int, int, const double*, const double*, const cplx* const*,
                                      const cplx* const*, cplx, const cplx*, double, cplx* const*, bool) {
    mine();
}
int instrset_detect() { return mine(); }
bool hasFMA3() { return mine() != 0; }
bool hasFMA4() { return mine() != 0; }
bool hasXOP() { return mine() != 0; }
bool hasF16C() { return mine() != 0; }
bool hasAVX512ER() { return mine() != 0; }
bool hasAVX512VBMI() { return mine() != 0; }
bool hasAVX512VBMI2() { return mine() != 0; }
bool hasAVX512FP16() { return mine() != 0; }

// ---- the engine's, through the loader

namespace {

int failures = 0;
std::string prefix_in_use;
void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s%s\n", prefix_in_use.c_str(), what);
        ++failures;
    }
}

// The engine's function `name` under the first name (prefix "") or the
// sardune_ one.
template <class F>
F engine(void* library, const std::string& prefix, const char* name) {
    const std::string full = prefix + name;
    void* p = dlsym(library, full.c_str());
    if (p == nullptr) {
        std::fprintf(stderr, "the library does not export %s\n", full.c_str());
        std::exit(1);
    }
    return reinterpret_cast<F>(p);
}

const sardune_complex* sc(const cplx* p) { return reinterpret_cast<const sardune_complex*>(p); }
sardune_complex* sc(cplx* p) { return reinterpret_cast<sardune_complex*>(p); }

// Every C entry point of the engine under one of its names.
void exercise(void* library, const std::string& prefix) {
    prefix_in_use = prefix;
    check(engine<decltype(&init)>(library, prefix, "init")(2) == 2, "init(2)");

    // A coating of two zero-thickness layers: the identity matrix and the
    // bare boundary's coefficients, whatever path computes them.
    const int K = 2;
    const cplx eta0(1.0, 0.0), es(1.5, -0.01);
    for (int N : {2, 3, 7, 200}) {
        std::vector<double> wl(N, 550.0), d(K, 0.0);
        std::vector<cplx> n(size_t(K) * N, cplx(2.0, 0.0)), substrate(N, es);
        std::vector<const sardune_complex*> rows = {sc(n.data()), sc(n.data() + N)};
        std::vector<cplx> M(4 * size_t(N)), P(4 * size_t(N)), L(4 * size_t(K) * N), dM(4 * size_t(K) * N);
        check(engine<decltype(&calc_M)>(library, prefix, "calc_M")(N, K, wl.data(), d.data(), rows.data(),
                                                                  rows.data(), 0.3, sc(M.data())) == 0 &&
                  M[0] == cplx(1.0) && M[N] == cplx(0.0),
              "calc_M");
        check(engine<decltype(&forward)>(library, prefix, "forward")(N, K, wl.data(), d.data(), sc(n.data()),
                                                                    sc(n.data()), 0.3, sc(M.data()),
                                                                    sc(P.data())) == 0 &&
                  P[3 * size_t(N)] == cplx(1.0),
              "forward");
        check(engine<decltype(&forward_backward)>(library, prefix, "forward_backward")(
                  N, K, wl.data(), d.data(), sc(n.data()), sc(n.data()), 0.3, sc(M.data()), sc(L.data()),
                  sc(dM.data())) == 0 &&
                  M[0] == cplx(1.0),
              "forward_backward");
        const sardune_complex* stacks[] = {sc(L.data()), sc(L.data() + 4 * size_t(N))};
        check(engine<decltype(&matmul_22X)>(library, prefix, "matmul_22X")(2, N, stacks, sc(P.data())) == 0 &&
                  P[0] == cplx(1.0),
              "matmul_22X");

        std::vector<std::vector<cplx>> slots(7);
        std::vector<sardune_complex*> record;
        for (int s = 0; s < 7; ++s) {
            slots[s].assign(s < 4 ? N : size_t(K) * N, cplx(-7.0));
            record.push_back(sc(slots[s].data()));
        }
        const cplx t_bare = 2.0 * eta0 / (eta0 + es);
        for (const char* name : {"update_optiprops_real_n", "update_optiprops_real_n_simd"}) {
            slots[0].assign(N, cplx(-7.0));
            check(engine<decltype(&update_optiprops_real_n)>(library, prefix, name)(
                      N, K, wl.data(), d.data(), rows.data(), rows.data(), sc(&eta0), sc(substrate.data()), 0.3,
                      record.data(), true) == 0 &&
                      std::abs(slots[0][N - 1] - t_bare) < 1e-15,
                  name);
        }
        sardune_complex* const* records[] = {record.data(), record.data()};
        check(engine<decltype(&update_top_props)>(library, prefix, "update_top_props")(
                  N, K, wl.data(), d.data(), rows.data(), rows.data(), sc(&eta0), sc(substrate.data()), 0.3, nullptr,
                  0, records, false) == 0 &&
                  std::abs(slots[0][0] - t_bare) < 1e-15,
              "update_top_props");

        // A slab of the host's own material changes nothing.
        std::vector<cplx> dt(3 * size_t(N), cplx(-7.0));
        const double z[] = {0.0, 40.0, 80.0};
        for (const char* name : {"calc_v_t_tau", "calc_v_t_tau_sse"}) {
            check(engine<int (*)(SARDUNE_CALC_V_T_TAU_PARAMS)>(library, prefix, name)(
                      N, 3, nullptr, nullptr, sc(n.data()), sc(n.data()), 0.3, sc(n.data()), z, sc(n.data()),
                      wl.data(), sc(&eta0), sc(substrate.data()), sc(slots[0].data()), nullptr, nullptr, nullptr,
                      sc(dt.data()), nullptr, nullptr) == 0 &&
                      dt[0] == cplx(0.0),
                  name);
        }
    }
    check(engine<decltype(&init)>(library, prefix, "init")(1) == 1, "init(1)");
}

}  // namespace

int main() {
    const char* path = std::getenv("SARDUNE_LIBRARY");
    void* library = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load the engine (SARDUNE_LIBRARY): %s\n", path ? dlerror() : "not set");
        return 1;
    }
    for (const char* prefix : {"", "sardune_"}) exercise(library, prefix);
    prefix_in_use.clear();
    const char* implementation = engine<decltype(&sardune_implementation)>(library, "", "sardune_implementation")();
    check(implementation != nullptr && (std::strcmp(implementation, "avx2+fma") == 0 ||
                                        std::strcmp(implementation, "sse2") == 0),
          "sardune_implementation");
    check(application_calls == 0, "the engine called the application's own functions");
    if (application_calls) std::fprintf(stderr, "%d calls reached the application's definitions\n", application_calls);
    dlclose(library);
    return failures == 0 ? 0 : 1;
}

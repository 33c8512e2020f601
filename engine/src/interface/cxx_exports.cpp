// The exported C++ kernels and detection functions, each handing over to its
// family under the family's own (hidden) name.
#include "cpu/instrset.hpp"
#include "interface/exports.hpp"
#include "real_index/real_index.hpp"
#include "transfer/transfer.hpp"

using sardune::cplx;
namespace real_index = sardune::real_index;
namespace transfer = sardune::transfer;
namespace cpu = sardune::cpu;

void calc_M_(int start, int end, int K, const OneDArray<double>& wavelengths, const OneDArray<double>& thicknesses,
             const cplx* const* indices, const cplx* const* admittances, double x,
             const ThreeDArray<cplx>& stack_matrix) {
    transfer::stack_matrices(start, end, K, wavelengths, thicknesses, indices, admittances, x, stack_matrix);
}

void forward_(int start, int end, int K, const OneDArray<double>& wavelengths, const OneDArray<double>& thicknesses,
              const TwoDArray<cplx>& indices, const TwoDArray<cplx>& admittances, double x,
              const ThreeDArray<cplx>& stack_matrix, const ThreeDArray<cplx>& partial_stack_matrix) {
    transfer::forward_products(start, end, K, wavelengths, thicknesses, indices, admittances, x, stack_matrix,
                               partial_stack_matrix);
}

void forward_backward_(int start, int end, int K, const OneDArray<double>& wavelengths,
                       const OneDArray<double>& thicknesses, const TwoDArray<cplx>& indices,
                       const TwoDArray<cplx>& admittances, double x, const ThreeDArray<cplx>& stack_matrix,
                       const FourDArray<cplx>& layer_matrices, const FourDArray<cplx>& derivatives) {
    transfer::forward_backward(start, end, K, wavelengths, thicknesses, indices, admittances, x, stack_matrix,
                               layer_matrices, derivatives);
}

void update_top_props_(int start, int end, int N, int K, const OneDArray<double>& wavelengths,
                       const OneDArray<double>& thicknesses, const cplx* const* indices,
                       const cplx* const* admittances, cplx eta0, const OneDArray<cplx>& substrate_admittances,
                       double x, const ThreeDArray<cplx>& base_matrix, int d0, cplx* const* const* records,
                       bool derivatives) {
    transfer::partial_coatings(start, end, N, K, wavelengths, thicknesses, indices, admittances, eta0,
                               substrate_admittances, x, base_matrix, d0, records, derivatives);
}

namespace {
real_index::Request request(int N, int K, const double* wavelengths, const double* thicknesses,
                            const cplx* const* indices, const cplx* const* admittances, cplx eta0,
                            const cplx* substrate_admittances, double x, cplx* const* record, bool derivatives) {
    return {N, K, wavelengths, thicknesses, indices, admittances, eta0, substrate_admittances, x, record, derivatives};
}
}  // namespace

void update_optiprops_real_n_(int N, int K, const double* wavelengths, const double* thicknesses,
                              const cplx* const* indices, const cplx* const* admittances, cplx eta0,
                              const cplx* substrate_admittances, double x, cplx* const* record, bool derivatives,
                              double* scratch) {
    real_index::scalar_columns(request(N, K, wavelengths, thicknesses, indices, admittances, eta0,
                                       substrate_admittances, x, record, derivatives),
                               0, N, scratch);
}

void update_optiprops_real_n_simd_(int start, int end, int N, int K, const double* wavelengths,
                                   const double* thicknesses, const cplx* const* indices,
                                   const cplx* const* admittances, cplx eta0, const cplx* substrate_admittances,
                                   double x, cplx* const* record, bool derivatives) {
    real_index::selected(request(N, K, wavelengths, thicknesses, indices, admittances, eta0, substrate_admittances,
                                 x, record, derivatives),
                         start, end);
}

void update_optiprops_real_n_simd_avx(int start, int end, int N, int K, const double* wavelengths,
                                      const double* thicknesses, const cplx* const* indices,
                                      const cplx* const* admittances, cplx eta0, const cplx* substrate_admittances,
                                      double x, cplx* const* record, bool derivatives) {
    real_index::four_lane(request(N, K, wavelengths, thicknesses, indices, admittances, eta0, substrate_admittances,
                                  x, record, derivatives),
                          start, end);
}

int instrset_detect() { return cpu::level(); }
bool hasFMA3() { return cpu::has(cpu::feature::fma3); }
bool hasFMA4() { return cpu::has(cpu::feature::fma4); }
bool hasXOP() { return cpu::has(cpu::feature::xop); }
bool hasF16C() { return cpu::has(cpu::feature::f16c); }
bool hasAVX512ER() { return cpu::has(cpu::feature::avx512er); }
bool hasAVX512VBMI() { return cpu::has(cpu::feature::avx512vbmi); }
bool hasAVX512VBMI2() { return cpu::has(cpu::feature::avx512vbmi2); }
bool hasAVX512FP16() { return cpu::has(cpu::feature::avx512fp16); }

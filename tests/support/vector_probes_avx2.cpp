// Built with -mavx2 -mfma: nothing here runs unless the test has checked the
// processor first.
#include "simd/complex_avx2.hpp"
#include "simd/sincos_avx2.hpp"
#include "simd/vecmath_avx2.hpp"
#include "vector_probes.hpp"
#include "vector_probes_impl.hpp"

const probes::SinglePrecision probes::avx2 = SARDUNE_PROBE_SET(Avx2, "AVX2", true);

void probes::sincos_pd(const double* in, double* sin_out, double* cos_out, size_t n) {
    for (size_t k = 0; k < n; k += 4) {
        alignas(32) double a[4], s[4], c[4];
        for (int l = 0; l < 4; ++l) a[l] = in[k + l < n ? k + l : n - 1];
        __m256d vs, vc;
        ::sincos_pd(_mm256_load_pd(a), &vs, &vc);
        _mm256_store_pd(s, vs), _mm256_store_pd(c, vc);
        for (int l = 0; l < 4 && k + l < n; ++l) sin_out[k + l] = s[l], cos_out[k + l] = c[l];
    }
}

void probes::cosh_sinh_pd(const double* in, double* cosh_out, double* sinh_out, size_t n) {
    for (size_t k = 0; k < n; k += 4) {
        alignas(32) double y[4], ch[4], sh[4];
        for (int l = 0; l < 4; ++l) y[l] = in[k + l < n ? k + l : n - 1];
        __m256d vc, vs;
        ::cosh_sinh(_mm256_load_pd(y), &vc, &vs);
        _mm256_store_pd(ch, vc), _mm256_store_pd(sh, vs);
        for (int l = 0; l < 4 && k + l < n; ++l) cosh_out[k + l] = ch[l], sinh_out[k + l] = sh[l];
    }
}

namespace {
template <class F>
void complex_probe(const double* in, double* out, size_t n, F f) {
    for (size_t k = 0; k < n; k += 4) {
        const int count = static_cast<int>(n - k < 4 ? n - k : 4);
        store_block(out + 2 * k, count, f(load_block(in + 2 * k, count)));
    }
}
}  // namespace

void probes::csqrt_pd(const double* in, double* out, size_t n) { complex_probe(in, out, n, [](C4 z) { return csqrt(z); }); }
void probes::reciprocal_pd(const double* in, double* out, size_t n) { complex_probe(in, out, n, [](C4 z) { return reciprocal(z); }); }

// The probe functions written once over an ISA layer V; included by one unit
// per instruction set after that set's vecmath header.
#pragma once

#include <cstddef>
#include <vector>

namespace {

template <class V, class Fn>
void blocks(const float* in, float* out, size_t n, Fn fn) {
    for (size_t k = 0; k < n; k += V::W) {
        alignas(64) float a[V::W], b[V::W];
        for (int l = 0; l < V::W; ++l) a[l] = in[k + l < n ? k + l : n - 1];
        V::storef(b, fn(V::loadf(a)));
        for (int l = 0; l < V::W && k + l < n; ++l) out[k + l] = b[l];
    }
}

template <class V> void half_exp_probe(const float* in, float* out, size_t n) {
    blocks<V>(in, out, n, [](typename V::F y) { return half_exp<V>(y); });
}
template <class V> void cosh_probe(const float* in, float* out, size_t n) {
    blocks<V>(in, out, n, [](typename V::F y) { return vcosh<V>(y); });
}
template <class V> void sinh_probe(const float* in, float* out, size_t n) {
    blocks<V>(in, out, n, [](typename V::F y) { return vsinh<V>(y); });
}
template <class V> void round_probe(const float* in, float* out, size_t n) {
    blocks<V>(in, out, n, [](typename V::F y) { return V::round(y); });
}
template <class V> void sincos_probe(const float* in, float* s, float* c, size_t n) {
    blocks<V>(in, s, n, [](typename V::F a) {
        typename V::F sn, cs;
        vsincos<V>(a, sn, cs);
        return sn;
    });
    blocks<V>(in, c, n, [](typename V::F a) {
        typename V::F sn, cs;
        vsincos<V>(a, sn, cs);
        return cs;
    });
}
template <class V> void csqrt_probe(const float* re, const float* im, float* re_out, float* im_out, size_t n) {
    for (size_t k = 0; k < n; k += V::W) {
        alignas(64) float a[V::W], b[V::W], c[V::W], d[V::W];
        for (int l = 0; l < V::W; ++l) a[l] = re[k + l < n ? k + l : n - 1], b[l] = im[k + l < n ? k + l : n - 1];
        CV<V> q = csqrt<V>(CV<V>{V::loadf(a), V::loadf(b)});
        V::storef(c, q.re), V::storef(d, q.im);
        for (int l = 0; l < V::W && k + l < n; ++l) re_out[k + l] = c[l], im_out[k + l] = d[l];
    }
}

// Constant-initialised (no code runs at load), so that merely loading the
// AVX2 set is safe on any processor.
#define SARDUNE_PROBE_SET(V, name, needs_avx2_fma)                                                 \
    probes::SinglePrecision {                                                                    \
        name, V::W, needs_avx2_fma, half_exp_probe<V>, cosh_probe<V>, sinh_probe<V>, sincos_probe<V>, \
            csqrt_probe<V>, round_probe<V>                                                       \
    }

}  // namespace

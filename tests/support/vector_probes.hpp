// The engine's vector elementary functions over plain arrays, one set per
// instruction set, so that the tests themselves are baseline code: a
// processor without AVX2 skips the AVX2 set instead of dying on its first
// instruction. Arrays are processed a block of lanes at a time; a short last
// block is padded with the last value.
#pragma once

#include <cstddef>

namespace probes {

// The single-precision functions of the thin-slab kernel.
struct SinglePrecision {
    const char* name;
    int lanes;
    bool needs_avx2_fma;
    void (*half_exp)(const float* in, float* out, size_t n);
    void (*cosh)(const float* in, float* out, size_t n);
    void (*sinh)(const float* in, float* out, size_t n);
    void (*sincos)(const float* in, float* sin_out, float* cos_out, size_t n);
    void (*csqrt)(const float* re, const float* im, float* re_out, float* im_out, size_t n);
    void (*round)(const float* in, float* out, size_t n);
};

extern const SinglePrecision sse2;
extern const SinglePrecision avx2;

// The four-lane double-precision sine and cosine of the real-index kernel
// (AVX2 and FMA).
void sincos_pd(const double* in, double* sin_out, double* cos_out, size_t n);

// The four-lane double-precision functions of the absorbing transfer
// kernels (AVX2 and FMA); complex values as (re, im) pairs.
void cosh_sinh_pd(const double* in, double* cosh_out, double* sinh_out, size_t n);
void csqrt_pd(const double* in, double* out, size_t n);
void reciprocal_pd(const double* in, double* out, size_t n);

}  // namespace probes

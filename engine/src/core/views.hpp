// Non-owning, row-major views over caller memory. The first extent only
// records the shape; every position is computed in 64-bit arithmetic so that
// products of counts (K*N, 4*K*N) never wrap.
//
// The views stay in the global namespace: they are part of the exported
// kernels' mangled names.
#pragma once

#include <cstdint>

template <typename T>
struct OneDArray {
    int64_t dim0;
    T* data;
    T& operator()(int64_t a) const { return data[a]; }
};

template <typename T>
struct TwoDArray {
    int64_t dim0, dim1;
    T* data;
    T& operator()(int64_t a, int64_t b) const { return data[a * dim1 + b]; }
};

template <typename T>
struct ThreeDArray {
    int64_t dim0, dim1, dim2;
    T* data;
    T& operator()(int64_t a, int64_t b, int64_t c) const { return data[(a * dim1 + b) * dim2 + c]; }
};

template <typename T>
struct FourDArray {
    int64_t dim0, dim1, dim2, dim3;
    T* data;
    T& operator()(int64_t a, int64_t b, int64_t c, int64_t e) const {
        return data[((a * dim1 + b) * dim2 + c) * dim3 + e];
    }
};

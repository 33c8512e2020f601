// One 2x2 matrix of a matrix stack (or of a per-layer matrix stack), read
// and written at wavelength i.
#pragma once

#include "core/views.hpp"
#include "optics/optics.hpp"

namespace sardune::transfer {

inline optics::Mat load(const ThreeDArray<cplx>& s, int64_t i) {
    return {s(0, 0, i), s(0, 1, i), s(1, 0, i), s(1, 1, i)};
}
inline void store(const ThreeDArray<cplx>& s, int64_t i, const optics::Mat& m) {
    s(0, 0, i) = m.m00, s(0, 1, i) = m.m01, s(1, 0, i) = m.m10, s(1, 1, i) = m.m11;
}
inline optics::Mat load(const FourDArray<cplx>& s, int64_t j, int64_t i) {
    return {s(j, 0, 0, i), s(j, 0, 1, i), s(j, 1, 0, i), s(j, 1, 1, i)};
}
inline void store(const FourDArray<cplx>& s, int64_t j, int64_t i, const optics::Mat& m) {
    s(j, 0, 0, i) = m.m00, s(j, 0, 1, i) = m.m01, s(j, 1, 0, i) = m.m10, s(j, 1, 1, i) = m.m11;
}

}  // namespace sardune::transfer

#include "simd/vecmath_sse2.hpp"
#include "vector_probes.hpp"
#include "vector_probes_impl.hpp"

const probes::SinglePrecision probes::sse2 = SARDUNE_PROBE_SET(Sse2, "SSE2", false);

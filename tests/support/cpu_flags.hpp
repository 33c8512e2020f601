// What the operating system reports about this processor, independently of
// the engine's own detection: the feature flags of /proc/cpuinfo.
#pragma once

#include <string>

namespace cpu_flags {

// Whether the first processor's "flags" line lists `name` (e.g. "avx2").
bool has(const std::string& name);

// AVX2 and FMA3 together: what the engine's vector builds need.
inline bool avx2_fma() { return has("avx2") && has("fma"); }

}  // namespace cpu_flags

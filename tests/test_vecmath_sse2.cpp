// The four-lane SSE2 vector functions (baseline instructions only).
#include "simd/vecmath_sse2.hpp"
using VM = Sse2;
#include "vecmath_checks.hpp"

namespace {

TEST(VecMathSse2, RoundingKeepsTheInputWhereTheConversionOverflows) {
    float in[4] = {2.5f, -3.5f, 3e9f, -1e20f}, out[4];
    VM::storef(out, VM::round(VM::loadf(in)));
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], -4.0f);
    EXPECT_EQ(out[2], 3e9f);
    EXPECT_EQ(out[3], -1e20f);
}

}  // namespace

#include <gtest/gtest.h>

#include <map>

#include "cpu/instrset.hpp"
#include "interface/exports.hpp"

using namespace sardune;
using namespace sardune::cpu;

namespace {

// A processor described by its CPUID answers; counts every question.
class FakeCpu final : public CpuAnswers {
public:
    std::map<uint32_t, CpuidRegisters> leaves;
    uint64_t xcr0_value = 0;
    int cpuid_calls = 0, xgetbv_calls = 0;

    CpuidRegisters cpuid(uint32_t leaf) override {
        ++cpuid_calls;
        auto it = leaves.find(leaf);
        return it == leaves.end() ? CpuidRegisters{} : it->second;
    }
    uint64_t xcr0() override {
        ++xgetbv_calls;
        return xcr0_value;
    }
};

constexpr uint32_t base_edx = 0x03808001u | (1u << 26);                              // .. SSE2
constexpr uint32_t sse42_ecx = 1u | (1u << 9) | (1u << 19) | (1u << 20) | (1u << 23);  // .. POPCNT
constexpr uint32_t avx_ecx = sse42_ecx | (1u << 27) | (1u << 28);                    // OSXSAVE, AVX

// A processor with everything up to AVX-512 F/DQ/BW/VL and an OS that saves
// every register state; tests take features away from it.
FakeCpu full_cpu() {
    FakeCpu cpu;
    cpu.leaves[0] = {0xD, 0, 0, 0};
    cpu.leaves[1] = {0, 0, avx_ecx | (1u << 12), base_edx};
    cpu.leaves[7] = {0, (1u << 5) | (1u << 16) | 0xC0020000u, 0, 0};
    cpu.leaves[0xD] = {0x60, 0, 0, 0};
    cpu.xcr0_value = 0xE6;
    return cpu;
}

int detect(FakeCpu& cpu) {
    std::atomic<int> cache{-1};
    const int level = detect_instrset(cpu, cache);
    EXPECT_EQ(cache.load(), level);
    return level;
}

TEST(InstrsetDetect, LevelsFollowTheFeatureLadder) {
    FakeCpu cpu = full_cpu();
    EXPECT_EQ(detect(cpu), 10);

    cpu.leaves[7].ebx &= ~(1u << 30);  // no AVX-512BW
    EXPECT_EQ(detect(cpu), 9);
    cpu.leaves[0xD].eax = 0x20;  // OS does not save the upper ZMM state
    EXPECT_EQ(detect(cpu), 8);
    cpu.leaves[7].ebx = 0;  // AVX without AVX2
    EXPECT_EQ(detect(cpu), 7);

    FakeCpu no_avx_state = full_cpu();
    no_avx_state.xcr0_value = 0x3;  // AVX2 present, YMM state not enabled
    EXPECT_EQ(detect(no_avx_state), 6);

    FakeCpu no_osxsave = full_cpu();
    no_osxsave.leaves[1].ecx &= ~(1u << 27);
    EXPECT_EQ(detect(no_osxsave), 6);
    EXPECT_EQ(no_osxsave.xgetbv_calls, 0);

    FakeCpu no_popcnt = full_cpu();
    no_popcnt.leaves[1].ecx &= ~(1u << 23);
    EXPECT_EQ(detect(no_popcnt), 5);

    FakeCpu no_sse2 = full_cpu();
    no_sse2.leaves[1].edx &= ~(1u << 26);
    EXPECT_EQ(detect(no_sse2), 1);

    FakeCpu no_cmov = full_cpu();
    no_cmov.leaves[1].edx &= ~(1u << 15);
    EXPECT_EQ(detect(no_cmov), 0);
}

TEST(InstrsetDetect, HighestLeafZeroStopsAtLevelZero) {
    FakeCpu cpu = full_cpu();
    cpu.leaves[0].eax = 0;
    EXPECT_EQ(detect(cpu), 0);
    EXPECT_EQ(cpu.cpuid_calls, 1);
}

TEST(InstrsetDetect, CacheHitAsksNothing) {
    FakeCpu cpu = full_cpu();
    std::atomic<int> cache{-1};
    EXPECT_EQ(detect_instrset(cpu, cache), 10);
    const int calls = cpu.cpuid_calls;
    cpu.leaves.clear();
    EXPECT_EQ(detect_instrset(cpu, cache), 10);
    EXPECT_EQ(cpu.cpuid_calls, calls);

    std::atomic<int> preset{4};
    EXPECT_EQ(detect_instrset(cpu, preset), 4);
    EXPECT_EQ(cpu.cpuid_calls, calls);
    EXPECT_EQ(cpu.xgetbv_calls, 1);
}

// A feature bit counts only from its prerequisite level on.
TEST(InstrsetDetect, PredicatesRespectTheirLevel) {
    FakeCpu cpu = full_cpu();
    cpu.leaves[7].ecx = (1u << 1) | (1u << 6);
    cpu.leaves[7].edx = 1u << 23;
    std::atomic<int> cache{-1};
    EXPECT_TRUE(has_feature(cpu, cache, feature::avx512vbmi));
    EXPECT_TRUE(has_feature(cpu, cache, feature::avx512vbmi2));
    EXPECT_TRUE(has_feature(cpu, cache, feature::avx512fp16));
    EXPECT_TRUE(has_feature(cpu, cache, feature::fma3));
    EXPECT_FALSE(has_feature(cpu, cache, feature::f16c));

    cpu.leaves[7].ebx &= ~(1u << 30);  // level 9: VBMI bit alone is not enough
    std::atomic<int> level9{-1};
    EXPECT_FALSE(has_feature(cpu, level9, feature::avx512vbmi));
    EXPECT_EQ(level9.load(), 9);
    cpu.leaves[7].ebx |= 1u << 27;
    EXPECT_TRUE(has_feature(cpu, level9, feature::avx512er));

    FakeCpu old = full_cpu();
    old.xcr0_value = 0x3;  // level 6 with the FMA3 bit set
    std::atomic<int> level6{-1};
    EXPECT_FALSE(has_feature(old, level6, feature::fma3));
    EXPECT_EQ(level6.load(), 6);

    FakeCpu amd = full_cpu();
    amd.leaves[0x80000001u] = {0, 0, (1u << 16) | (1u << 11), 0};
    std::atomic<int> c{-1};
    EXPECT_TRUE(has_feature(amd, c, feature::fma4));
    EXPECT_TRUE(has_feature(amd, c, feature::xop));
}

// The exported functions on this machine agree with the pure detection.
TEST(InstrsetDetect, NativeAnswersAreConsistent) {
    const int level = instrset_detect();
    EXPECT_GE(level, 2);  // every x86-64 processor has SSE2
    EXPECT_LE(level, 10);
    EXPECT_EQ(instrset_detect(), level);
    std::atomic<int> fresh{-1};
    EXPECT_EQ(detect_instrset(native_cpu(), fresh), level);
    if (level < 7) {
        EXPECT_FALSE(hasFMA3());
    }
    if (level < 10) {
        EXPECT_FALSE(hasAVX512VBMI());
    }
    (void)hasFMA4(), (void)hasXOP(), (void)hasF16C(), (void)hasAVX512ER();
    (void)hasAVX512VBMI2(), (void)hasAVX512FP16();
}

}  // namespace

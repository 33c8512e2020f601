#include <gtest/gtest.h>

#include <map>

#include "cpu/dispatch.hpp"
#include "cpu/instrset.hpp"
#include "cpu_flags.hpp"
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

// The cache holds each level as soon as it is reached, so that a caller that
// reads it while detection runs sees a level this processor really has.
TEST(InstrsetDetect, CacheIsRaisedLevelByLevel) {
    class Watching final : public CpuAnswers {
    public:
        FakeCpu cpu = full_cpu();
        std::atomic<int>* cache = nullptr;
        std::map<uint32_t, int> seen;  // the cache when each leaf was asked
        CpuidRegisters cpuid(uint32_t leaf) override {
            seen[leaf] = cache->load();
            return cpu.cpuid(leaf);
        }
        uint64_t xcr0() override { return cpu.xcr0(); }
    } w;
    std::atomic<int> cache{-1};
    w.cache = &cache;
    EXPECT_EQ(detect_instrset(w, cache), 10);
    EXPECT_EQ(w.seen[0], 0);
    EXPECT_EQ(w.seen[7], 7);    // AVX reached before AVX2 is asked for
    EXPECT_EQ(w.seen[0xD], 8);  // AVX2 reached before the AVX-512 state is asked for
}

// The exported functions on this machine agree with the pure detection and
// with what the operating system reports about the processor.
TEST(InstrsetDetect, NativeAnswersMatchTheProcessorsFlags) {
    const int level = instrset_detect();
    std::atomic<int> fresh{-1};
    EXPECT_EQ(detect_instrset(native_cpu(), fresh), level);
    const bool avx512 = cpu_flags::has("avx512f") && cpu_flags::has("avx512dq") && cpu_flags::has("avx512bw") &&
                        cpu_flags::has("avx512vl");
    const int expected = !cpu_flags::has("avx") ? 6 : !cpu_flags::has("avx2") ? 7 : !cpu_flags::has("avx512f") ? 8
                                                                                  : avx512                    ? 10
                                                                                                              : 9;
    if (cpu_flags::has("popcnt") && cpu_flags::has("sse4_2")) {
        EXPECT_EQ(level, expected);
    }
    EXPECT_EQ(hasFMA3(), level >= 7 && cpu_flags::has("fma"));
    EXPECT_EQ(hasFMA4(), level >= 7 && cpu_flags::has("fma4"));
    EXPECT_EQ(hasXOP(), level >= 7 && cpu_flags::has("xop"));
    EXPECT_EQ(hasF16C(), level >= 7 && cpu_flags::has("f16c"));
    EXPECT_EQ(hasAVX512ER(), level >= 9 && cpu_flags::has("avx512er"));
    EXPECT_EQ(hasAVX512VBMI(), level >= 10 && cpu_flags::has("avx512vbmi"));
    EXPECT_EQ(hasAVX512VBMI2(), level >= 10 && cpu_flags::has("avx512_vbmi2"));
    EXPECT_EQ(hasAVX512FP16(), level >= 10 && cpu_flags::has("avx512_fp16"));
}

// The vector builds are chosen exactly when the processor has AVX2 and FMA3.
TEST(Dispatch, VectorBuildsFollowTheProcessorsFlags) {
    EXPECT_EQ(sardune::cpu_has_avx2_fma(), cpu_flags::avx2_fma());
    EXPECT_EQ(sardune::builds().avx2_fma, cpu_flags::avx2_fma());
    sardune::testing::use_baseline_builds(true);
    EXPECT_FALSE(sardune::builds().avx2_fma);
    sardune::testing::use_baseline_builds(false);
    EXPECT_EQ(sardune::builds().avx2_fma, cpu_flags::avx2_fma());
}

// The builds' name follows the processor's flags too, one string for the
// process; while the test hook forces the baseline builds it names those,
// since they are what requests run.
TEST(Dispatch, ImplementationNamesTheBuildsThatRun) {
    const char* chosen = sardune_implementation();
    EXPECT_STREQ(chosen, cpu_flags::avx2_fma() ? "avx2+fma" : "sse2");
    EXPECT_EQ(sardune_implementation(), chosen) << "a second call gave another string";
    sardune::testing::use_baseline_builds(true);
    EXPECT_STREQ(sardune_implementation(), "sse2");
    sardune::testing::use_baseline_builds(false);
    EXPECT_EQ(sardune_implementation(), chosen);
}

}  // namespace

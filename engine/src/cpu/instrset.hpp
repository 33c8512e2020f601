// Instruction-set detection as a pure function of the processor's answers,
// so that every branch can be exercised on any machine; level() and has()
// run it on the real CPUID and XGETBV instructions with the process-wide
// level cache (the exported instrset_detect() and feature predicates are
// these).
#pragma once

#include <atomic>
#include <cstdint>

namespace sardune::cpu {

struct CpuidRegisters {
    uint32_t eax, ebx, ecx, edx;
};

// Where the detection gets its answers from: CPUID with sub-leaf 0, and XCR0.
class CpuAnswers {
public:
    virtual CpuidRegisters cpuid(uint32_t leaf) = 0;
    virtual uint64_t xcr0() = 0;

protected:
    ~CpuAnswers() = default;
};

// The processor this code runs on.
CpuAnswers& native_cpu();

// Level 0 .. 10. A cache >= 0 is returned without asking the processor;
// otherwise the cache is raised to every level as it is reached, so that it
// holds the result when this returns.
int detect_instrset(CpuAnswers& cpu, std::atomic<int>& cache);

// One feature bit behind a minimum level; ignored (false) below that level.
enum class CpuRegister { eax, ebx, ecx, edx };
struct CpuFeature {
    int min_level;
    uint32_t leaf;
    CpuRegister reg;
    int bit;
};
bool has_feature(CpuAnswers& cpu, std::atomic<int>& cache, const CpuFeature& feature);

namespace feature {
constexpr CpuFeature fma3{7, 1, CpuRegister::ecx, 12};
constexpr CpuFeature fma4{7, 0x80000001u, CpuRegister::ecx, 16};
constexpr CpuFeature xop{7, 0x80000001u, CpuRegister::ecx, 11};
constexpr CpuFeature f16c{7, 1, CpuRegister::ecx, 29};
constexpr CpuFeature avx512er{9, 7, CpuRegister::ebx, 27};
constexpr CpuFeature avx512vbmi{10, 7, CpuRegister::ecx, 1};
constexpr CpuFeature avx512vbmi2{10, 7, CpuRegister::ecx, 6};
constexpr CpuFeature avx512fp16{10, 7, CpuRegister::edx, 23};
}  // namespace feature

// This processor's level and features, detected once.
int level() noexcept;
bool has(const CpuFeature& f) noexcept;

}  // namespace sardune::cpu

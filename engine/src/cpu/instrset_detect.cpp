#include <cpuid.h>

#include "cpu/instrset.hpp"

namespace sardune::cpu {

namespace {

class NativeCpu final : public CpuAnswers {
public:
    CpuidRegisters cpuid(uint32_t leaf) override {
        CpuidRegisters r{};
        __cpuid_count(leaf, 0, r.eax, r.ebx, r.ecx, r.edx);
        return r;
    }
    // Only reached once OSXSAVE is known to be set, so XGETBV exists.
    uint64_t xcr0() override {
        uint32_t lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        return (static_cast<uint64_t>(hi) << 32) | lo;
    }
};

NativeCpu native;

// -1 until the first detection has finished. Written once at load in
// practice; relaxed atomics keep a racing first call well defined.
std::atomic<int> level_cache{-1};

bool all_set(uint32_t value, uint32_t mask) { return (value & mask) == mask; }
bool bit_set(uint32_t value, int bit) { return ((value >> bit) & 1u) != 0; }

uint32_t pick(const CpuidRegisters& r, CpuRegister reg) {
    switch (reg) {
        case CpuRegister::eax: return r.eax;
        case CpuRegister::ebx: return r.ebx;
        case CpuRegister::ecx: return r.ecx;
        case CpuRegister::edx: return r.edx;
    }
    return 0;
}

}  // namespace

CpuAnswers& native_cpu() { return native; }

int detect_instrset(CpuAnswers& cpu, std::atomic<int>& cache) {
    const int cached = cache.load(std::memory_order_relaxed);
    if (cached >= 0) return cached;
    int level = 0;
    auto reach = [&](int l) { cache.store(level = l, std::memory_order_relaxed); };
    reach(0);

    if (cpu.cpuid(0).eax == 0) return level;
    const CpuidRegisters l1 = cpu.cpuid(1);
    if (!all_set(l1.edx, 0x03808001u)) return level;  // x87, CMOV, MMX, FXSR, SSE
    reach(1);
    if (!bit_set(l1.edx, 26)) return level;  // SSE2
    reach(2);
    if (!bit_set(l1.ecx, 0)) return level;  // SSE3
    reach(3);
    if (!bit_set(l1.ecx, 9)) return level;  // SSSE3
    reach(4);
    if (!bit_set(l1.ecx, 19)) return level;  // SSE4.1
    reach(5);
    if (!all_set(l1.ecx, 0x00900000u)) return level;  // SSE4.2, POPCNT
    reach(6);

    // AVX needs the OS to save the XMM and YMM state (XCR0 bits 1 and 2).
    if (!bit_set(l1.ecx, 27)) return level;  // OSXSAVE
    if ((cpu.xcr0() & 6u) != 6u) return level;
    if (!bit_set(l1.ecx, 28)) return level;  // AVX
    reach(7);

    const CpuidRegisters l7 = cpu.cpuid(7);
    if (!bit_set(l7.ebx, 5)) return level;  // AVX2
    reach(8);
    if (!bit_set(l7.ebx, 16)) return level;  // AVX-512F
    if ((cpu.cpuid(0xD).eax & 0x60u) != 0x60u) return level;
    reach(all_set(l7.ebx, 0xC0020000u) ? 10 : 9);  // DQ, BW, VL
    return level;
}

bool has_feature(CpuAnswers& cpu, std::atomic<int>& cache, const CpuFeature& feature) {
    if (detect_instrset(cpu, cache) < feature.min_level) return false;
    return bit_set(pick(cpu.cpuid(feature.leaf), feature.reg), feature.bit);
}

int level() noexcept { return detect_instrset(native, level_cache); }
bool has(const CpuFeature& f) noexcept { return has_feature(native, level_cache, f); }

}  // namespace sardune::cpu

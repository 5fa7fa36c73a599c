#include "instruction_sets.h"

#include <cpuid.h>

#include <cstdint>

namespace velmora {

namespace {

// The register state the operating system saves (XCR0); only to be asked once
// the processor has said that the system enabled the instruction.
uint64_t savedRegisterState() {
    uint32_t low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (uint64_t{high} << 32) | low;
}

InstructionSet widestSupported() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return InstructionSet::Sse2;
    const bool osSavesExtendedState = c & bit_OSXSAVE;
    const bool avx = c & bit_AVX;
    if (!osSavesExtendedState || !avx) return InstructionSet::Sse2;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return InstructionSet::Sse2;
    const bool avx2 = b & bit_AVX2;
    const bool avx512f = b & bit_AVX512F;
    const uint64_t saved = savedRegisterState();
    constexpr uint64_t kXmmYmm = 0x6;          // SSE and AVX state
    constexpr uint64_t kOpmaskZmm = 0x7 << 5;  // opmask, upper halves of zmm0-15, zmm16-31
    if (avx2 && avx512f && (saved & (kXmmYmm | kOpmaskZmm)) == (kXmmYmm | kOpmaskZmm))
        return InstructionSet::Avx512f;
    if (avx2 && (saved & kXmmYmm) == kXmmYmm) return InstructionSet::Avx2;
    return InstructionSet::Sse2;
}

}  // namespace

bool processorSupports(InstructionSet set) {
    static const InstructionSet widest = widestSupported();
    return set <= widest;
}

const char* nameOf(InstructionSet set) {
    switch (set) {
        case InstructionSet::Sse2:
            return "SSE2";
        case InstructionSet::Avx2:
            return "AVX2";
        case InstructionSet::Avx512f:
            return "AVX-512F";
    }
    return "?";
}

}  // namespace velmora

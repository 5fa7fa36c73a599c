#include "kernels.h"

#include "cascade.h"
#include "coefficients.h"

namespace velmora {

void SE_CDECL processPassFilter(void* module, int32_t offset, int32_t frames) {
    Module& m = Module::from(module);
    if (frames <= 0 || m.inBuffer == nullptr || m.outBuffer == nullptr) return;
    const float* in = m.inBuffer + offset;
    float* out = m.outBuffer + offset;

    double b = m.filterState[0];  // the accumulator
    auto frame = [&](int32_t i) {
        const double next = (b + static_cast<double>(in[i])) * 0.9994;
        out[i] = static_cast<float>(next - b);
        b = next;
    };
    int32_t i = 0;
    for (; frames - i >= 4; i += 4) {
        frame(i);
        frame(i + 1);
        frame(i + 2);
        frame(i + 3);
    }
    for (; i < frames; ++i)
        frame(i);
    m.filterState[0] = flushSubnormal(b);
}

// Each body is its own function, so a change of body is a change of the
// process function the host sees.
void SE_CDECL processViolinI(void* m, int32_t o, int32_t n) {
    processCascade<bodies::violinI>(m, o, n);
}
void SE_CDECL processViolinII(void* m, int32_t o, int32_t n) {
    processCascade<bodies::violinII>(m, o, n);
}
void SE_CDECL processViolinIII(void* m, int32_t o, int32_t n) {
    processCascade<bodies::violinIII>(m, o, n);
}
void SE_CDECL processViolaI(void* m, int32_t o, int32_t n) {
    processCascade<bodies::violaI>(m, o, n);
}
void SE_CDECL processViolaII(void* m, int32_t o, int32_t n) {
    processCascade<bodies::violaII>(m, o, n);
}
void SE_CDECL processViolI(void* m, int32_t o, int32_t n) {
    processCascade<bodies::violI>(m, o, n);
}
void SE_CDECL processViolII(void* m, int32_t o, int32_t n) {
    processCascade<bodies::violII>(m, o, n);
}
void SE_CDECL processCelloI(void* m, int32_t o, int32_t n) {
    processCascade<bodies::celloI>(m, o, n);
}
void SE_CDECL processCelloII(void* m, int32_t o, int32_t n) {
    processCascade<bodies::celloII>(m, o, n);
}
void SE_CDECL processBass(void* m, int32_t o, int32_t n) {
    processCascade<bodies::bass>(m, o, n);
}
void SE_CDECL processContrabass(void* m, int32_t o, int32_t n) {
    processCascade<bodies::contrabass>(m, o, n);
}
void SE_CDECL processOboeI(void* m, int32_t o, int32_t n) {
    processCascade<bodies::oboeI>(m, o, n);
}
void SE_CDECL processOboeII(void* m, int32_t o, int32_t n) {
    processCascade<bodies::oboeII>(m, o, n);
}
void SE_CDECL processCorAnglaisI(void* m, int32_t o, int32_t n) {
    processCascade<bodies::corAnglaisI>(m, o, n);
}
void SE_CDECL processCorAnglaisII(void* m, int32_t o, int32_t n) {
    processCascade<bodies::corAnglaisII>(m, o, n);
}
void SE_CDECL processSympathetic(void* m, int32_t o, int32_t n) {
    processCascade<bodies::sympathetic>(m, o, n);
}

ProcessFunction kernelForType(int32_t type) {
    static constexpr ProcessFunction kernels[kTypeCount] = {
        processPassFilter,  processViolinI, processViolinII,    processViolinIII,
        processViolaI,      processViolaII, processViolI,       processViolII,
        processCelloI,      processCelloII, processBass,        processContrabass,
        processOboeI,       processOboeII,  processCorAnglaisI, processCorAnglaisII,
        processSympathetic,
    };
    return type >= 0 && type < kTypeCount ? kernels[type] : processViolinI;
}

}  // namespace velmora

#include "process_functions.h"

#include "kernels.h"
#include "module.h"

namespace velmora {

namespace {

// Plays the block's samples through the body of `type`; the first call for
// a body other than the one playing starts the crossfade to it.
void runBody(void* module, int32_t offset, int32_t frames, int32_t type) {
    Module& m = Module::from(module);
    // A negative offset would reach before the host's buffers: it is a call
    // without frames.
    if (offset < 0 || m.inBuffer == nullptr || m.outBuffer == nullptr) return;
    m.body.process(type, m.inBuffer + offset, m.outBuffer + offset, frames);
}

}  // namespace

void SE_CDECL processPassFilter(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 0);
}
void SE_CDECL processViolinI(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 1);
}
void SE_CDECL processViolinII(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 2);
}
void SE_CDECL processViolinIII(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 3);
}
void SE_CDECL processViolaI(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 4);
}
void SE_CDECL processViolaII(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 5);
}
void SE_CDECL processViolI(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 6);
}
void SE_CDECL processViolII(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 7);
}
void SE_CDECL processCelloI(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 8);
}
void SE_CDECL processCelloII(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 9);
}
void SE_CDECL processBass(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 10);
}
void SE_CDECL processContrabass(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 11);
}
void SE_CDECL processOboeI(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 12);
}
void SE_CDECL processOboeII(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 13);
}
void SE_CDECL processCorAnglaisI(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 14);
}
void SE_CDECL processCorAnglaisII(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 15);
}
void SE_CDECL processSympathetic(void* m, int32_t o, int32_t n) {
    runBody(m, o, n, 16);
}

ProcessFunction processFunctionForType(int32_t type) {
    static constexpr ProcessFunction functions[kTypeCount] = {
        processPassFilter,  processViolinI, processViolinII,    processViolinIII,
        processViolaI,      processViolaII, processViolI,       processViolII,
        processCelloI,      processCelloII, processBass,        processContrabass,
        processOboeI,       processOboeII,  processCorAnglaisI, processCorAnglaisII,
        processSympathetic,
    };
    return functions[bodyOfType(type)];
}

}  // namespace velmora

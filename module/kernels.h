// The seventeen filter kernels, one process function per value of "Type",
// and the map from a type to its kernel.
#pragma once

#include <cstdint>

#include "abi.h"

namespace velmora {

// Type 0: a one-pole, one-zero DC blocker, 0.9994 (1 - z^-1) / (1 - 0.9994 z^-1).
void SE_CDECL processPassFilter(void* module, int32_t offset, int32_t frames);

// Types 1 to 16: the resonator cascades of the instrument bodies.
void SE_CDECL processViolinI(void* module, int32_t offset, int32_t frames);
void SE_CDECL processViolinII(void* module, int32_t offset, int32_t frames);
void SE_CDECL processViolinIII(void* module, int32_t offset, int32_t frames);
void SE_CDECL processViolaI(void* module, int32_t offset, int32_t frames);
void SE_CDECL processViolaII(void* module, int32_t offset, int32_t frames);
void SE_CDECL processViolI(void* module, int32_t offset, int32_t frames);
void SE_CDECL processViolII(void* module, int32_t offset, int32_t frames);
void SE_CDECL processCelloI(void* module, int32_t offset, int32_t frames);
void SE_CDECL processCelloII(void* module, int32_t offset, int32_t frames);
void SE_CDECL processBass(void* module, int32_t offset, int32_t frames);
void SE_CDECL processContrabass(void* module, int32_t offset, int32_t frames);
void SE_CDECL processOboeI(void* module, int32_t offset, int32_t frames);
void SE_CDECL processOboeII(void* module, int32_t offset, int32_t frames);
void SE_CDECL processCorAnglaisI(void* module, int32_t offset, int32_t frames);
void SE_CDECL processCorAnglaisII(void* module, int32_t offset, int32_t frames);
void SE_CDECL processSympathetic(void* module, int32_t offset, int32_t frames);

inline constexpr int kTypeCount = 17;

// The kernel of a "Type" value; every value outside 0 to 16 plays Violin I.
ProcessFunction kernelForType(int32_t type);

}  // namespace velmora

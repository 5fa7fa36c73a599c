// The module's process functions, one per value of "Type": each plays the
// module's buffers through its body, crossfading from the one before when
// the body has changed. Each body has a function of its own, so a change of
// body is a change of process function the host is told of.
#pragma once

#include <cstdint>

#include "abi.h"

namespace velmora {

void SE_CDECL processPassFilter(void* module, int32_t offset, int32_t frames);
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

// The process function of a "Type" value; every value outside 0 to 16 plays Violin I.
ProcessFunction processFunctionForType(int32_t type);

}  // namespace velmora

// Counts the heap allocations a stretch of code makes, whoever makes them:
// the test program defines malloc and its relatives itself, and the plugin,
// loaded at run time, calls these rather than the C library's.
#pragma once

#include <cstdint>

namespace velmora::test {

// False where the program cannot replace malloc (under AddressSanitizer).
bool canCountAllocations();

void startCountingAllocations();
// The allocations since the start, which ends the counting.
int64_t stopCountingAllocations();

}  // namespace velmora::test

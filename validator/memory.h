// The memory the process holds, for the soak's check that it stays flat.
#pragma once

#include <cstdint>

namespace velmora::validate {

struct MemoryUse {
    int64_t bytes = 0;      // 0 where the platform does not say
    const char* what = "";  // what was measured, for the report
};

// Resident memory; under AddressSanitizer, which keeps freed blocks aside
// for a while, the heap in use instead.
MemoryUse memoryInUse();

}  // namespace velmora::validate

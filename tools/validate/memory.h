// The process's resident memory, for the soak's check that it stays flat.
#pragma once

#include <cstdint>

namespace velmora::validate {

// Bytes resident now, or 0 where the platform does not say.
int64_t residentBytes();

}  // namespace velmora::validate

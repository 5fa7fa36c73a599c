#include "memory.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h first: psapi.h builds on its types.
#include <psapi.h>
#else
#include <unistd.h>

#include <fstream>
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_ASAN 1
#endif
#if VELMORA_ASAN
#include <sanitizer/allocator_interface.h>
#endif

namespace velmora::validate {

MemoryUse memoryInUse() {
#if VELMORA_ASAN
    return {static_cast<int64_t>(__sanitizer_get_current_allocated_bytes()), "heap in use"};
#elif defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return {};
    return {static_cast<int64_t>(counters.WorkingSetSize), "resident"};
#else
    std::ifstream statm("/proc/self/statm");
    int64_t size = 0;
    int64_t resident = 0;
    if (!(statm >> size >> resident)) return {};
    return {resident * sysconf(_SC_PAGESIZE), "resident"};
#endif
}

}  // namespace velmora::validate

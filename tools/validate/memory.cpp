#include "memory.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h first: psapi.h builds on its types.
#include <psapi.h>
#else
#include <unistd.h>

#include <fstream>
#endif

namespace velmora::validate {

int64_t residentBytes() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return static_cast<int64_t>(counters.WorkingSetSize);
#else
    std::ifstream statm("/proc/self/statm");
    int64_t size = 0;
    int64_t resident = 0;
    if (!(statm >> size >> resident)) return 0;
    return resident * sysconf(_SC_PAGESIZE);
#endif
}

}  // namespace velmora::validate

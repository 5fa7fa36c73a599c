#include "allocation_counter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace velmora::test {

namespace {

std::atomic<bool> counting{false};
std::atomic<int64_t> allocations{0};

}  // namespace

bool canCountAllocations() {
    return VELMORA_COUNT_ALLOCATIONS != 0;
}

void startCountingAllocations() {
    allocations = 0;
    counting = true;
}

int64_t stopCountingAllocations() {
    counting = false;
    return allocations.load();
}

}  // namespace velmora::test

#if VELMORA_COUNT_ALLOCATIONS

namespace {

void count() {
    if (velmora::test::counting.load(std::memory_order_relaxed)) {
        velmora::test::allocations.fetch_add(1);
    }
}

}  // namespace

// glibc's own allocator, under the names it keeps for programs that wrap it.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t number, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);

void* malloc(size_t size) {
    count();
    return __libc_malloc(size);
}

void* calloc(size_t number, size_t size) {
    count();
    return __libc_calloc(number, size);
}

void* realloc(void* pointer, size_t size) {
    count();
    return __libc_realloc(pointer, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** pointer, size_t alignment, size_t size) {
    count();
    void* memory = __libc_memalign(alignment, size);
    if (memory == nullptr) return ENOMEM;
    *pointer = memory;
    return 0;
}

void free(void* pointer) {
    __libc_free(pointer);
}
}

#endif

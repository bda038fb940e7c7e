// Replaces the global allocation functions of the test binary so that a test
// can count the allocations of the code it runs. operator new takes its memory
// from glibc's own entry points, so that an allocation is counted once, as
// operator new, and not again as malloc.
#include "tests/support/heap_allocation_counter.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define KORVENE_COUNT_C_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVENE_COUNT_C_ALLOCATIONS 0
#endif
#endif
#ifndef KORVENE_COUNT_C_ALLOCATIONS
#define KORVENE_COUNT_C_ALLOCATIONS 1
#endif

namespace {

bool counting = false;
korvene::testing::HeapAllocationCounts counts;

}  // namespace

#if KORVENE_COUNT_C_ALLOCATIONS
// glibc's allocator behind its public names.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): glibc's own names for it
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* memory, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

void countC() {
    if (counting) ++counts.cLibrary;
}

void* rawAllocate(size_t size) { return __libc_malloc(size); }
void* rawAllocateAligned(size_t alignment, size_t size) { return __libc_memalign(alignment, size); }

}  // namespace

extern "C" {

void* malloc(size_t size) noexcept {
    countC();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept {
    countC();
    return __libc_calloc(count, size);
}

void* realloc(void* memory, size_t size) noexcept {
    countC();
    return __libc_realloc(memory, size);
}

void* memalign(size_t alignment, size_t size) noexcept {
    countC();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    countC();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** memory, size_t alignment, size_t size) noexcept {
    countC();
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
    void* allocated = __libc_memalign(alignment, size);
    if (allocated == nullptr) return 12;  // ENOMEM
    *memory = allocated;
    return 0;
}

void* valloc(size_t size) noexcept {
    countC();
    return __libc_valloc(size);
}

void* pvalloc(size_t size) noexcept {
    countC();
    return __libc_pvalloc(size);
}

}  // extern "C"

#else

namespace {

void* rawAllocate(size_t size) { return std::malloc(size); }
void* rawAllocateAligned(size_t alignment, size_t size) {
    void* memory = nullptr;
    return posix_memalign(&memory, alignment, size) == 0 ? memory : nullptr;
}

}  // namespace

#endif

namespace {

void* allocate(size_t size) {
    if (counting) ++counts.operatorNew;
    if (void* memory = rawAllocate(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

void* allocateAligned(size_t size, std::align_val_t alignment) {
    if (counting) ++counts.operatorNew;
    if (void* memory = rawAllocateAligned(static_cast<size_t>(alignment), size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void* operator new(size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new[](size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t, std::align_val_t) noexcept { std::free(memory); }

namespace korvene::testing {

void startCountingHeapAllocations() {
    counts = {};
    counting = true;
}

void stopCountingHeapAllocations() { counting = false; }

HeapAllocationCounts countedHeapAllocations() { return counts; }

bool countsCAllocations() { return KORVENE_COUNT_C_ALLOCATIONS != 0; }

}  // namespace korvene::testing

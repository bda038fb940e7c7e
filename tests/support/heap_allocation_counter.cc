// Replaces the global allocation functions of the test binary so that a test
// can count the allocations of the code it runs. operator new takes its memory
// from glibc's own entry points, so that an allocation is counted once, as
// operator new, and not again as malloc. operator delete searches the block
// it releases while a scan of freed blocks runs, and zero-fills it.
#include "tests/support/heap_allocation_counter.h"

#include <malloc.h>
#include <string.h>

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

std::vector<korvene::testing::FreedBlockMarker>* scanMarkers = nullptr;
int scanPauses = 0;
size_t scannedBlocks = 0;

// How many consecutive bytes of a marker make a block hold it.
constexpr size_t kMarkerRun = 8;

// Whether the block holds any kMarkerRun consecutive bytes of the marker (all
// of it when it is shorter).
bool holdsPartOf(const void* memory, size_t size, const korvene::testing::FreedBlockMarker& marker) {
    const size_t length = marker.bytes.size();
    const size_t run = kMarkerRun > length ? length : kMarkerRun;
    if (run == 0) return false;
    for (size_t from = 0; from + run <= length; ++from) {
        if (memmem(memory, size, marker.bytes.data() + from, run) != nullptr) return true;
    }
    return false;
}

// Searches a block about to be released for every marker; `size` 0: the size
// is not known, ask the allocator.
void scanFreed(void* memory, size_t size) {
    if (scanMarkers == nullptr || scanPauses > 0) return;
    if (size == 0) size = malloc_usable_size(memory);
    ++scannedBlocks;
    for (korvene::testing::FreedBlockMarker& marker : *scanMarkers) {
        if (holdsPartOf(memory, size, marker)) {
            if (marker.blocksHolding++ == 0) marker.firstBlockSize = size;
        }
    }
}

// Every block is zero-filled once searched, scan or not: a copy of a secret
// that the test itself or the key's side frees must not linger in a chunk that
// the host later allocates, leaves partly unwritten and frees again.
void release(void* memory, size_t size = 0) {
    if (memory == nullptr) return;
    scanFreed(memory, size);
    explicit_bzero(memory, malloc_usable_size(memory));
    std::free(memory);
}

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

void operator delete(void* memory) noexcept { release(memory); }
void operator delete[](void* memory) noexcept { release(memory); }
void operator delete(void* memory, size_t size) noexcept { release(memory, size); }
void operator delete[](void* memory, size_t size) noexcept { release(memory, size); }
void operator delete(void* memory, std::align_val_t) noexcept { release(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { release(memory); }
void operator delete(void* memory, size_t size, std::align_val_t) noexcept { release(memory, size); }
void operator delete[](void* memory, size_t size, std::align_val_t) noexcept { release(memory, size); }

namespace korvene::testing {

void startCountingHeapAllocations() {
    counts = {};
    counting = true;
}

void stopCountingHeapAllocations() { counting = false; }

HeapAllocationCounts countedHeapAllocations() { return counts; }

bool countsCAllocations() { return KORVENE_COUNT_C_ALLOCATIONS != 0; }

FreedBlockScan::FreedBlockScan(std::vector<FreedBlockMarker>& markers) {
    for (FreedBlockMarker& marker : markers) {
        marker.blocksHolding = 0;
        marker.firstBlockSize = 0;
    }
    scannedBlocks = 0;
    scanPauses = 0;
    scanMarkers = &markers;
}

FreedBlockScan::~FreedBlockScan() { scanMarkers = nullptr; }

size_t scannedFreedBlocks() { return scannedBlocks; }

FreedBlockScanPause::FreedBlockScanPause() { ++scanPauses; }
FreedBlockScanPause::~FreedBlockScanPause() { --scanPauses; }

}  // namespace korvene::testing

#pragma once

// Counts the heap allocations of a test binary between start and stop: every
// form of the global operator new, and the C allocation functions (malloc,
// calloc, realloc, memalign, posix_memalign, aligned_alloc, valloc, pvalloc),
// which libraries such as Crypto++ call directly for their secure blocks. The
// binary that uses it compiles heap_allocation_counter.cc itself, which
// replaces those functions; it is not part of korvene_test_support. Under
// AddressSanitizer, which owns the C allocation functions, only operator new is
// counted.

#include <cstddef>

namespace korvene::testing {

struct HeapAllocationCounts {
    size_t operatorNew = 0;  // calls of the global operator new, every form
    size_t cLibrary = 0;     // C allocation calls other than those operator new makes
    size_t total() const { return operatorNew + cLibrary; }
};

// Zeroes the counts and starts counting; not nestable.
void startCountingHeapAllocations();
void stopCountingHeapAllocations();
HeapAllocationCounts countedHeapAllocations();
// Whether the C allocation functions are counted in this build.
bool countsCAllocations();

}  // namespace korvene::testing

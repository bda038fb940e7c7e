#pragma once

// Counts the heap allocations of a test binary between start and stop: every
// form of the global operator new, and the C allocation functions (malloc,
// calloc, realloc, memalign, posix_memalign, aligned_alloc, valloc, pvalloc),
// which libraries such as Crypto++ call directly for their secure blocks. The
// binary that uses it compiles heap_allocation_counter.cc itself, which
// replaces those functions; it is not part of korvene_test_support. Under
// AddressSanitizer, which owns the C allocation functions, only operator new is
// counted.
//
// It also searches what is freed: between the start and the stop of a scan,
// every block released through the global operator delete (every form) is
// searched for given byte strings before it goes back to the allocator, so
// that a test can show that no freed block still holds a secret. Every block
// operator delete releases is zero-filled after that, scan or not, so that no
// freed copy outlives its block in a chunk that a later allocation reuses.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// A byte string that no block freed during a scan may hold, not even in
// part: a block holds it when it holds any 8 consecutive bytes of it (all of
// it when it is shorter), so that a wipe that spares a few bytes, or a
// terminator written over the first, does not hide the rest.
struct FreedBlockMarker {
    std::string name;
    std::vector<uint8_t> bytes;
    size_t blocksHolding = 0;   // freed blocks that held it
    size_t firstBlockSize = 0;  // the size searched of the first of them
};

// Blocks searched since the last scan started.
size_t scannedFreedBlocks();

// While one exists, freed blocks are not searched: for code whose own copies
// of the secrets are not the test's business, such as the key's side of the
// protocol in a test double.
class FreedBlockScanPause {
public:
    FreedBlockScanPause();
    ~FreedBlockScanPause();
    FreedBlockScanPause(const FreedBlockScanPause&) = delete;
    FreedBlockScanPause& operator=(const FreedBlockScanPause&) = delete;
};

// While it exists, every block released through operator delete is searched
// for each of `markers`, over the size a sized delete names or else the size
// malloc_usable_size reports; it counts into the markers, which must outlive
// it, and stops when it goes out of scope, however the test leaves it. The
// search allocates nothing. Blocks released with C's free (Crypto++'s secure
// blocks, which wipe themselves) are not searched. Not nestable.
class FreedBlockScan {
public:
    explicit FreedBlockScan(std::vector<FreedBlockMarker>& markers);
    ~FreedBlockScan();
    FreedBlockScan(const FreedBlockScan&) = delete;
    FreedBlockScan& operator=(const FreedBlockScan&) = delete;
};

}  // namespace korvene::testing

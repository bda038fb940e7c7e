#pragma once

#include <cstddef>

namespace korvene::testing {

// Counts the heap allocations (global operator new) made while it lives.
// The test binary that uses it links allocation_counter.cc, which replaces
// the global allocation functions. Not nestable.
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    size_t count() const;
};

}  // namespace korvene::testing

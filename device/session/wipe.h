#pragma once

#include <cstddef>

namespace korvene {

// Zero-fills `length` bytes at `buffer` in a way the compiler cannot drop, even
// when the storage is released right afterwards. Length 0 touches nothing.
void wipeBuffer(void* buffer, size_t length);

}  // namespace korvene

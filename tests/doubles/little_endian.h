#pragma once

// Reading the key's little-endian fields (GetInfo selectors, the setup values,
// the pack header) out of a byte buffer, as the doubles and the harnesses do.

#include <cstddef>
#include <cstdint>

namespace korvene::testing {

// The unsigned value of the `width` bytes at `at`, least significant first;
// `width` is at most 4.
constexpr uint32_t littleEndian(const uint8_t* at, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
    return value;
}

constexpr uint32_t littleEndian32(const uint8_t* at) { return littleEndian(at, 4); }

}  // namespace korvene::testing

#pragma once

#include <cstdint>

namespace korvene {

// The USB identity of the key: its vendor ID and product ID, matched exactly.
// These are placeholder values from a range set aside for testing; a build for
// the real key puts the key's own IDs here and nowhere else.
inline constexpr uint16_t kKeyVendorId = 0x1209;
inline constexpr uint16_t kKeyProductId = 0x000a;

}  // namespace korvene

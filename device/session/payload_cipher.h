#pragma once

#include <cstdint>

#include "device/session/session_keys.h"

namespace korvene {

// AES-128 in counter mode under keys->cipherKey. Every call starts the key
// stream at keys->initialCounter (128-bit big-endian, incremented per block), so
// every payload in either direction meets the same key stream. `in` and `out`
// may be the same buffer.
void ctrCrypt(const SessionKeys* keys, const uint8_t* in, uint8_t* out, uint64_t length);
void ctrDecrypt(const SessionKeys* keys, const uint8_t* in, uint8_t* out, uint64_t length);

}  // namespace korvene

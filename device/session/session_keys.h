#pragma once

#include <cstdint>
#include <memory>

namespace korvene {

// Secure-messaging material derived by the key exchange.
struct SessionKeys {
    uint8_t reserved0[16];       // derivation output bytes 16..31, held, never read
    uint8_t cipherKey[16];       // AES-128 key of every encrypted payload
    uint8_t reserved1[16];       // derivation output bytes 48..63, held, never read
    uint8_t initialCounter[16];  // the key's nonce: first counter block of every payload
};

// Releases a record after zero-filling it.
struct SessionKeysDeleter {
    void operator()(SessionKeys* keys) const;
};
using SessionKeysPtr = std::unique_ptr<SessionKeys, SessionKeysDeleter>;

}  // namespace korvene

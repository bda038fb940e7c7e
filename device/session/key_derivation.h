#pragma once

#include <cstddef>
#include <cstdint>

#include "device/session/session_keys.h"

namespace korvene {

// Payload of a KeyExchange request (73 bytes, always sent plain). The host
// sends the tag and the identity as zeros.
struct KeyExchangeRequest {
    uint8_t hostTag;
    uint8_t hostIdentity[8];
    uint8_t hostPublicKey[64];  // X || Y of the host's ephemeral point, without 0x04
};
static_assert(sizeof(KeyExchangeRequest) == 73);

// Payload of a successful KeyExchange response (exactly 97 bytes).
struct KeyExchangeResponse {
    uint8_t deviceTag;
    uint8_t deviceNonce[16];      // becomes SessionKeys::initialCounter
    uint8_t reserved[16];         // not read by the host
    uint8_t devicePublicKey[64];  // X || Y of the key's point, without 0x04
};
static_assert(sizeof(KeyExchangeResponse) == 97);

inline constexpr size_t kDeviceFingerprintSize = 8;
inline constexpr size_t kOtherInfoSize = 61;
inline constexpr size_t kDerivedKeySize = 64;

// First 8 bytes of SHA-256 over the 64 coordinate bytes of the key's point.
void deviceFingerprint(const uint8_t* devicePublicKey, uint8_t* fingerprint);

// The 61-byte context of the derivation, each field behind its length byte:
// AlgorithmID 09 09 09 09, hostIdentity, hostTag, the first 16 bytes of the
// host's X, deviceFingerprint, deviceNonce, deviceTag. `request` and `response`
// are the payloads as sent and as received.
void buildOtherInfo(const uint8_t* request, const uint8_t* response, uint8_t* otherInfo);

// Agrees Z with the key's point, derives 64 bytes K = concatKdfSha256(Z,
// OtherInfo) and writes the record: reserved0 = K[16..31], cipherKey =
// K[32..47], reserved1 = K[48..63], initialCounter = deviceNonce. Z and K are
// zero-filled before it returns. False when the key's point is refused; the
// record is then untouched.
bool deriveSessionKeys(const uint8_t* privateKey, const uint8_t* request, const uint8_t* response,
                       SessionKeys* keys);

// Single-step concatenation KDF over SHA-256: digest i = SHA-256(i as 32-bit
// big-endian || secret || context) for i = 1, 2, ...; the output is the
// digests in order, cut to `outputLength` bytes (0 writes nothing).
void concatKdfSha256(uint8_t* output, uint64_t outputLength, const uint8_t* secret, uint64_t secretLength,
                     const uint8_t* context, uint64_t contextLength);

}  // namespace korvene

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvene {

// Elliptic-curve Diffie-Hellman on NIST P-256, the public-key half of secure
// messaging. Keys and points travel as fixed-width big-endian byte strings.

inline constexpr size_t kEcPrivateKeySize = 32;   // scalar d, 1 <= d <= n - 1
inline constexpr size_t kEcPublicPointSize = 65;  // 0x04 || X || Y
inline constexpr size_t kEcAgreedValueSize = 32;  // Z: X coordinate of the shared point

// Makes a fresh key pair: `privateKey` becomes exactly 32 bytes, `publicKey` the
// 65-byte uncompressed point, whatever they held before. Each call seeds a new
// generator from the operating system; a random source that cannot be opened or
// read raises the library's exception (nothing is caught here).
void generateEphemeralKeyPair(std::vector<uint8_t>& privateKey, std::vector<uint8_t>& publicKey);

// Agrees Z with the peer: `privateKey` points to 32 bytes, `peerPublicKey` to
// the 65-byte uncompressed point. `agreed` is resized to 32 bytes first. False
// when the peer's point is refused (wrong first byte, a coordinate >= p, not on
// the curve, the point at infinity); no byte of Z is written then.
bool ecdhAgree(const uint8_t* privateKey, const uint8_t* peerPublicKey, std::vector<uint8_t>& agreed);

}  // namespace korvene

#include "device/session/key_derivation.h"

#include <crypto++/sha.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "device/session/ecdh.h"
#include "device/session/wipe.h"

namespace korvene {
namespace {

constexpr uint8_t kAlgorithmId[4] = {0x09, 0x09, 0x09, 0x09};
// The host's X coordinate enters the context with its first 16 bytes only.
constexpr size_t kHostKeyPrefixSize = 16;

// Appends one field behind its length byte.
uint8_t* putField(uint8_t* at, const uint8_t* field, size_t length) {
    *at++ = static_cast<uint8_t>(length);
    std::memcpy(at, field, length);
    return at + length;
}

}  // namespace

void deviceFingerprint(const uint8_t* devicePublicKey, uint8_t* fingerprint) {
    uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(digest, devicePublicKey, sizeof(KeyExchangeResponse::devicePublicKey));
    std::memcpy(fingerprint, digest, kDeviceFingerprintSize);
}

void buildOtherInfo(const uint8_t* request, const uint8_t* response, uint8_t* otherInfo) {
    uint8_t fingerprint[kDeviceFingerprintSize];
    deviceFingerprint(response + offsetof(KeyExchangeResponse, devicePublicKey), fingerprint);

    uint8_t* at = otherInfo;
    at = putField(at, kAlgorithmId, sizeof(kAlgorithmId));
    at = putField(at, request + offsetof(KeyExchangeRequest, hostIdentity), sizeof(KeyExchangeRequest::hostIdentity));
    at = putField(at, request + offsetof(KeyExchangeRequest, hostTag), sizeof(KeyExchangeRequest::hostTag));
    at = putField(at, request + offsetof(KeyExchangeRequest, hostPublicKey), kHostKeyPrefixSize);
    at = putField(at, fingerprint, sizeof(fingerprint));
    at = putField(at, response + offsetof(KeyExchangeResponse, deviceNonce), sizeof(KeyExchangeResponse::deviceNonce));
    putField(at, response + offsetof(KeyExchangeResponse, deviceTag), sizeof(KeyExchangeResponse::deviceTag));
}

bool deriveSessionKeys(const uint8_t* privateKey, const uint8_t* request, const uint8_t* response,
                       SessionKeys* keys) {
    uint8_t peerPoint[kEcPublicPointSize];
    peerPoint[0] = 0x04;
    std::memcpy(peerPoint + 1, response + offsetof(KeyExchangeResponse, devicePublicKey),
                sizeof(KeyExchangeResponse::devicePublicKey));

    std::vector<uint8_t> z;
    if (!ecdhAgree(privateKey, peerPoint, z)) return false;

    uint8_t otherInfo[kOtherInfoSize];
    buildOtherInfo(request, response, otherInfo);

    uint8_t k[kDerivedKeySize];
    concatKdfSha256(k, sizeof(k), z.data(), z.size(), otherInfo, sizeof(otherInfo));
    wipeBuffer(z.data(), z.size());

    std::memcpy(keys->reserved0, k + 16, sizeof(keys->reserved0));
    std::memcpy(keys->cipherKey, k + 32, sizeof(keys->cipherKey));
    std::memcpy(keys->reserved1, k + 48, sizeof(keys->reserved1));
    std::memcpy(keys->initialCounter, response + offsetof(KeyExchangeResponse, deviceNonce),
                sizeof(keys->initialCounter));
    // K[0..15] is never used; the rest now lives in the record only.
    wipeBuffer(k, sizeof(k));
    return true;
}

void concatKdfSha256(uint8_t* output, uint64_t outputLength, const uint8_t* secret, uint64_t secretLength,
                     const uint8_t* context, uint64_t contextLength) {
    constexpr uint64_t digestSize = CryptoPP::SHA256::DIGESTSIZE;
    const uint64_t reps = (outputLength * 8 + 255) >> 8;
    uint8_t digest[digestSize];
    uint64_t written = 0;
    for (uint64_t i = 1; i <= reps; ++i) {
        const uint8_t counter[4] = {static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16),
                                    static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        CryptoPP::SHA256 hash;
        hash.Update(counter, sizeof(counter));
        hash.Update(secret, secretLength);
        hash.Update(context, contextLength);
        hash.Final(digest);

        const uint64_t take = std::min(digestSize, outputLength - written);
        std::memcpy(output + written, digest, take);
        written += take;
    }
    wipeBuffer(digest, sizeof(digest));
}

}  // namespace korvene

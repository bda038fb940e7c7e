#pragma once

// The cryptography of one update and nothing else, with Crypto++ called
// directly on objects made once: one ephemeral P-256 key pair, one agreement
// with a validated peer point, the concatenation KDF (two SHA-256 blocks), one
// AES-128-CTR pass over the whole firmware payload and one SHA-256 over it.
// No host update can cost less; the benchmark compares the host side with it.

#include <crypto++/aes.h>
#include <crypto++/dh.h>
#include <crypto++/eccrypto.h>
#include <crypto++/ecp.h>
#include <crypto++/modes.h>
#include <crypto++/osrng.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvene::bench {

class CryptoFloor {
public:
    // `payload` stays borrowed for the object's lifetime.
    CryptoFloor(const uint8_t* payload, size_t payloadSize);

    // One update's worth of cryptography. False only if the agreement refused
    // the peer point, which a working floor never does.
    bool run();

private:
    using Domain = CryptoPP::DH_Domain<CryptoPP::DL_GroupParameters_EC<CryptoPP::ECP>>;

    const uint8_t* payload;
    size_t payloadSize;
    CryptoPP::AutoSeededX917RNG<CryptoPP::AES> rng;
    Domain domain;
    std::vector<uint8_t> peerPoint;  // a valid point, as the key would send
    std::vector<uint8_t> privateKey;
    std::vector<uint8_t> publicKey;
    std::vector<uint8_t> agreed;
    uint8_t context[61] = {};        // the derivation context's size; its bytes do not change the cost
    uint8_t derived[64] = {};
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher;
    std::vector<uint8_t> ciphertext;
    uint8_t digest[32] = {};
};

}  // namespace korvene::bench

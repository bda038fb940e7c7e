#include "bench/crypto_floor.h"

#include <crypto++/oids.h>
#include <crypto++/sha.h>

namespace korvene::bench {

CryptoFloor::CryptoFloor(const uint8_t* payload, size_t payloadSize)
    : payload(payload),
      payloadSize(payloadSize),
      domain(CryptoPP::ASN1::secp256r1()),
      peerPoint(domain.PublicKeyLength()),
      privateKey(domain.PrivateKeyLength()),
      publicKey(domain.PublicKeyLength()),
      agreed(domain.AgreedValueLength()),
      ciphertext(payloadSize) {
    std::vector<uint8_t> peerPrivate(domain.PrivateKeyLength());
    domain.GenerateKeyPair(rng, peerPrivate.data(), peerPoint.data());
}

bool CryptoFloor::run() {
    domain.GenerateKeyPair(rng, privateKey.data(), publicKey.data());
    if (!domain.Agree(agreed.data(), privateKey.data(), peerPoint.data(), true)) return false;

    for (uint8_t counter = 1; counter <= 2; ++counter) {
        const uint8_t counterBytes[4] = {0, 0, 0, counter};
        CryptoPP::SHA256 hash;
        hash.Update(counterBytes, sizeof(counterBytes));
        hash.Update(agreed.data(), agreed.size());
        hash.Update(context, sizeof(context));
        hash.Final(derived + (counter - 1) * CryptoPP::SHA256::DIGESTSIZE);
    }

    cipher.SetKeyWithIV(derived + 32, 16, derived + 16, 16);
    cipher.ProcessData(ciphertext.data(), payload, payloadSize);
    CryptoPP::SHA256().CalculateDigest(digest, payload, payloadSize);
    return true;
}

}  // namespace korvene::bench

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

    for (size_t block = 0; block < 2; ++block) {
        const uint8_t counter[4] = {0, 0, 0, static_cast<uint8_t>(block + 1)};
        CryptoPP::SHA256 hash;
        hash.Update(counter, sizeof(counter));
        hash.Update(agreed.data(), agreed.size());
        hash.Update(context, sizeof(context));
        hash.Final(derived + block * CryptoPP::SHA256::DIGESTSIZE);
    }

    cipher.SetKeyWithIV(derived + 32, 16, derived + 16, 16);
    cipher.ProcessData(ciphertext.data(), payload, payloadSize);
    CryptoPP::SHA256().CalculateDigest(digest, payload, payloadSize);
    return true;
}

}  // namespace korvene::bench

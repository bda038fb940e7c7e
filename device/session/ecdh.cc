#include "device/session/ecdh.h"

#include <crypto++/asn.h>
#include <crypto++/dh.h>
#include <crypto++/eccrypto.h>
#include <crypto++/ecp.h>
#include <crypto++/oids.h>
#include <crypto++/osrng.h>
#include <crypto++/rijndael.h>

namespace korvene {
namespace {

using CurveParameters = CryptoPP::DL_GroupParameters_EC<CryptoPP::ECP>;
// The library's default cofactor option for these parameters (the private
// exponent is multiplied by the cofactor, 1 on P-256).
using EcdhDomain = CryptoPP::DH_Domain<CurveParameters>;

// 1.2.840.10045.3.1.7: NIST P-256 (secp256r1).
CryptoPP::OID p256Identifier() {
    return CryptoPP::OID(1) + 2 + 840 + 10045 + 3 + 1 + 7;
}

}  // namespace

void generateEphemeralKeyPair(std::vector<uint8_t>& privateKey, std::vector<uint8_t>& publicKey) {
    const CryptoPP::OID curve = p256Identifier();
    // Seeds itself once from the operating system's non-blocking source;
    // throws CryptoPP::OS_RNG_Err when that source cannot be opened or read.
    CryptoPP::AutoSeededX917RNG<CryptoPP::Rijndael> rng;
    const CurveParameters parameters(curve);
    const EcdhDomain domain(parameters);

    privateKey.resize(domain.PrivateKeyLength());
    publicKey.resize(domain.PublicKeyLength());
    domain.GenerateKeyPair(rng, privateKey.data(), publicKey.data());
}

bool ecdhAgree(const uint8_t* privateKey, const uint8_t* peerPublicKey, std::vector<uint8_t>& agreed) {
    const CurveParameters parameters(p256Identifier());
    const EcdhDomain domain(parameters);

    agreed.resize(domain.AgreedValueLength());
    // Agree validates the peer's point and turns CryptoPP::DL_BadElement (a
    // refused point) into false; any other exception passes on.
    return domain.Agree(agreed.data(), privateKey, peerPublicKey, true);
}

}  // namespace korvene

// The key's side of the key exchange. It checks the host's point, answers its
// own point, nonce and tag, and derives the session keys itself, straight from
// the library's curve arithmetic and SHA-256, so that the host's derivation is
// checked against an independent one. Once the answer is out unspoiled, the
// model deciphers every later encrypted request with those keys.
#include <crypto++/eccrypto.h>
#include <crypto++/ecp.h>
#include <crypto++/integer.h>
#include <crypto++/oids.h>
#include <crypto++/osrng.h>
#include <crypto++/sha.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/doubles/virtual_key/wire_status.h"

namespace korvene::testing {
namespace {

constexpr size_t kRequestSize = 73;   // tag, identity, X || Y
constexpr size_t kResponseSize = 97;  // tag, nonce, reserved, X || Y
constexpr size_t kRequestPointOffset = 9;
constexpr size_t kResponsePointOffset = 33;
constexpr size_t kCoordinate = 32;


using Curve = CryptoPP::DL_GroupParameters_EC<CryptoPP::ECP>;

CryptoPP::ECP::Point pointAt(const uint8_t* xy) {
    return CryptoPP::ECP::Point(CryptoPP::Integer(xy, kCoordinate), CryptoPP::Integer(xy + kCoordinate, kCoordinate));
}

void append(std::vector<uint8_t>& to, const uint8_t* bytes, size_t length) { to.insert(to.end(), bytes, bytes + length); }

// The derivation context: each field behind its length byte.
std::vector<uint8_t> derivationContext(const uint8_t* request, const uint8_t* response) {
    uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
    CryptoPP::SHA256().CalculateDigest(digest, response + kResponsePointOffset, 2 * kCoordinate);
    const uint8_t algorithm[4] = {9, 9, 9, 9};
    struct Field {
        const uint8_t* bytes;
        size_t length;
    };
    const Field fields[] = {
        {algorithm, 4},       {request + 1, 8},  // host identity
        {request, 1},                            // host tag
        {request + kRequestPointOffset, 16},     // first half of the host's X
        {digest, 8},                             // the key's fingerprint
        {response + 1, 16},                      // nonce
        {response, 1},                           // the key's tag
    };
    std::vector<uint8_t> context;
    for (const Field& field : fields) {
        context.push_back(static_cast<uint8_t>(field.length));
        append(context, field.bytes, field.length);
    }
    return context;
}

SessionKeys deriveKeys(const uint8_t* z, const std::vector<uint8_t>& context, const uint8_t* nonce) {
    uint8_t k[2 * CryptoPP::SHA256::DIGESTSIZE];
    for (uint8_t counter = 1; counter <= 2; ++counter) {
        const uint8_t counterBytes[4] = {0, 0, 0, counter};
        CryptoPP::SHA256 hash;
        hash.Update(counterBytes, sizeof(counterBytes));
        hash.Update(z, kCoordinate);
        hash.Update(context.data(), context.size());
        hash.Final(k + static_cast<size_t>(counter - 1) * CryptoPP::SHA256::DIGESTSIZE);
    }
    SessionKeys keys{};
    std::memcpy(keys.reserved0, k + 16, 16);
    std::memcpy(keys.cipherKey, k + 32, 16);
    std::memcpy(keys.reserved1, k + 48, 16);
    std::memcpy(keys.initialCounter, nonce, 16);
    return keys;
}

}  // namespace

void VirtualKey::handleKeyExchange(const ReceivedRequest& request) {
    // A new exchange replaces whatever was agreed before.
    state.keys.reset();
    ++exchangeAnswers;

    if (request.encrypted || request.payload.size() != kRequestSize) {
        queue(request, wire::BadParameter, {}, false);
        return;
    }
    const Curve curve(CryptoPP::ASN1::secp256r1());
    const CryptoPP::ECP::Point hostPoint = pointAt(request.payload.data() + kRequestPointOffset);
    if (!curve.GetCurve().VerifyPoint(hostPoint) || hostPoint.identity) {
        queue(request, wire::InvalidKey, {}, false);
        return;
    }

    CryptoPP::AutoSeededRandomPool rng;
    const CryptoPP::Integer privateKey =
        state.privateKey.size() == kCoordinate
            ? CryptoPP::Integer(state.privateKey.data(), state.privateKey.size())
            : CryptoPP::Integer(rng, CryptoPP::Integer::One(), curve.GetSubgroupOrder() - 1);
    const CryptoPP::ECP::Point ownPoint = curve.ExponentiateBase(privateKey);

    std::array<uint8_t, 16> nonce = state.deviceNonce;
    const bool nonceUnset = std::all_of(nonce.begin(), nonce.end(), [](uint8_t b) { return b == 0; });
    if (state.randomNonce && nonceUnset) rng.GenerateBlock(nonce.data(), nonce.size());

    std::vector<uint8_t> response(kResponseSize, 0);
    response[0] = state.deviceTag;
    std::copy(nonce.begin(), nonce.end(), response.begin() + 1);
    std::copy(state.reserved.begin(), state.reserved.end(), response.begin() + 17);
    ownPoint.x.Encode(response.data() + kResponsePointOffset, kCoordinate);
    ownPoint.y.Encode(response.data() + kResponsePointOffset + kCoordinate, kCoordinate);

    if (exchangeAnswers <= static_cast<size_t>(std::max(knobs.invalidPointAnswers, 0))) {
        // Y with its lowest bit flipped: the point leaves the curve, the host
        // must refuse it, and no keys come of this answer.
        response.back() ^= 0x01;
        queue(request, 0, response, false);
        return;
    }

    uint8_t z[kCoordinate];
    curve.GetCurve().ScalarMultiply(hostPoint, privateKey).x.Encode(z, sizeof(z));
    const SessionKeys keys = deriveKeys(z, derivationContext(request.payload.data(), response.data()), nonce.data());

    // The answer itself travels plain: the keys exist only once it is out.
    const bool spoiled = faultFor(request) != nullptr;
    queue(request, 0, response, false);
    if (!spoiled) state.keys = keys;
}

}  // namespace korvene::testing

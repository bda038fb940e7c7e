// The concatenation KDF and the session-key derivation, reproduced byte for
// byte from the vector files, and what the derivation leaves on the stack.
#include "device/session/key_derivation.h"

#include <crypto++/sha.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/session/session_vectors.h"
#include "tests/support/secret_search.h"
#include "tests/support/vector_file.h"

namespace korvene {
namespace {

using testing::expectedSessionKeysHex;
using testing::fromHex;
using testing::loadVectorFile;
using testing::sessionKeysHex;
using testing::toHex;
using testing::VectorCase;

constexpr uint8_t kUntouched = 0xA5;

// Output lengths 0, 1, 31, 32, 33, 63, 64, 65, 96 and a 20-byte secret with an
// empty context: exactly the listed bytes are written, nothing beyond them.
TEST(ConcatKdfSha256, WritesExactlyTheListedBytesForEveryOutputLength) {
    const auto cases = loadVectorFile("concat_kdf_sha256.txt");
    ASSERT_FALSE(cases.empty());
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + c.at("case"));
        const auto z = fromHex(c.at("Z"));
        const auto otherInfo = fromHex(c.at("OtherInfo"));
        const auto expected = fromHex(c.at("K"));
        std::vector<uint8_t> output(expected.size() + 8, kUntouched);
        concatKdfSha256(output.data(), expected.size(), z.data(), z.size(), otherInfo.data(), otherInfo.size());
        EXPECT_EQ(toHex(output.data(), expected.size()), toHex(expected));
        EXPECT_TRUE(std::all_of(output.begin() + expected.size(), output.end(),
                                [](uint8_t b) { return b == kUntouched; }))
            << "bytes past the output length were written";
    }
}

// The digest the output's last bytes were cut from: the KDF's last digest,
// SHA-256(reps as 4 bytes big-endian || Z || OtherInfo).
std::vector<uint8_t> lastDigest(size_t outputLength, const std::vector<uint8_t>& z,
                                const std::vector<uint8_t>& otherInfo) {
    const size_t reps = (outputLength + CryptoPP::SHA256::DIGESTSIZE - 1) / CryptoPP::SHA256::DIGESTSIZE;
    const uint8_t counter[4] = {static_cast<uint8_t>(reps >> 24), static_cast<uint8_t>(reps >> 16),
                                static_cast<uint8_t>(reps >> 8), static_cast<uint8_t>(reps)};
    std::vector<uint8_t> digest(CryptoPP::SHA256::DIGESTSIZE);
    CryptoPP::SHA256 hash;
    hash.Update(counter, sizeof(counter));
    hash.Update(z.data(), z.size());
    hash.Update(otherInfo.data(), otherInfo.size());
    hash.Final(digest.data());
    return digest;
}

// Once the KDF has returned, neither its output nor the whole of its last
// digest (of which a short output keeps only the first bytes) is on the stack.
TEST(ConcatKdfSha256, LeavesNoPieceOfItsOutputOrLastDigestOnTheStack) {
    if (const char* reason = testing::whyFramesAreOffTheStack()) GTEST_SKIP() << reason;
    for (const auto& c : loadVectorFile("concat_kdf_sha256.txt")) {
        const auto expected = fromHex(c.at("K"));
        if (expected.empty()) continue;
        SCOPED_TRACE("case " + c.at("case"));
        const auto z = fromHex(c.at("Z"));
        const auto otherInfo = fromHex(c.at("OtherInfo"));
        std::vector<testing::Secret> secrets = {
            testing::secretOf("the last digest", lastDigest(expected.size(), z, otherInfo))};
        // A shorter output is no needle: a byte or two match by chance.
        if (expected.size() >= testing::kSecretPieceSize) secrets.push_back(testing::secretOf("the output", expected));
        std::vector<uint8_t> output(expected.size());
        const std::vector<std::string> found = testing::secretsLeftOnDeadStack(
            [&] {
                concatKdfSha256(output.data(), output.size(), z.data(), z.size(), otherInfo.data(), otherInfo.size());
            },
            testing::kDeadStackSearchTop, nullptr, secrets);
        EXPECT_EQ(output, expected);
        EXPECT_TRUE(found.empty()) << "left on the stack: " << ::testing::PrintToString(found);
    }
}

class KeyDerivationSession : public ::testing::Test {
protected:
    void SetUp() override {
        sessions = loadVectorFile("protocol_sessions.txt");
        ASSERT_EQ(sessions.size(), 3u);
    }
    std::vector<VectorCase> sessions;
};

// Every intermediate value of the three protocol sessions: deviceFingerprint,
// OtherInfo, K from Z and OtherInfo, and the SessionKeys record, which the
// response's reserved bytes do not change.
TEST_F(KeyDerivationSession, ReproducesFingerprintOtherInfoKAndSessionKeysIgnoringReservedBytes) {
    for (const auto& c : sessions) {
        SCOPED_TRACE("session " + c.at("case"));
        const auto request = fromHex(c.at("KeyExchangeRequest"));
        const auto response = fromHex(c.at("KeyExchangeResponse"));
        ASSERT_EQ(request.size(), sizeof(KeyExchangeRequest));
        ASSERT_EQ(response.size(), sizeof(KeyExchangeResponse));

        uint8_t fingerprint[kDeviceFingerprintSize];
        deviceFingerprint(response.data() + offsetof(KeyExchangeResponse, devicePublicKey), fingerprint);
        EXPECT_EQ(toHex(fingerprint, sizeof(fingerprint)), c.at("deviceFingerprint"));

        uint8_t otherInfo[kOtherInfoSize];
        buildOtherInfo(request.data(), response.data(), otherInfo);
        EXPECT_EQ(toHex(otherInfo, sizeof(otherInfo)), c.at("OtherInfo"));

        const auto z = fromHex(c.at("Z"));
        uint8_t k[kDerivedKeySize];
        concatKdfSha256(k, sizeof(k), z.data(), z.size(), otherInfo, sizeof(otherInfo));
        EXPECT_EQ(toHex(k, sizeof(k)), c.at("K"));

        const auto privateKey = fromHex(c.at("hostPrivateKey"));
        SessionKeys keys;
        std::memset(&keys, kUntouched, sizeof(keys));
        ASSERT_TRUE(deriveSessionKeys(privateKey.data(), request.data(), response.data(), &keys));
        EXPECT_EQ(sessionKeysHex(keys), expectedSessionKeysHex(c));

        // The response's reserved bytes (17 to 32) enter nothing.
        auto changed = response;
        for (size_t i = 0; i < sizeof(KeyExchangeResponse::reserved); ++i) {
            changed[offsetof(KeyExchangeResponse, reserved) + i] ^= 0xFF;
        }
        ASSERT_TRUE(deriveSessionKeys(privateKey.data(), request.data(), changed.data(), &keys));
        EXPECT_EQ(sessionKeysHex(keys), expectedSessionKeysHex(c)) << "reserved bytes changed the keys";
    }
}

// The derivation keeps K only in the record: once it has returned, no piece of
// K is left on the stack, neither of the derived bytes nor of the last digest
// the KDF computed them from. The record lives on the heap, out of the search.
TEST_F(KeyDerivationSession, LeavesNoPieceOfTheDerivedBytesOnTheStack) {
    if (const char* reason = testing::whyFramesAreOffTheStack()) GTEST_SKIP() << reason;
    for (const auto& c : sessions) {
        SCOPED_TRACE("session " + c.at("case"));
        const auto privateKey = fromHex(c.at("hostPrivateKey"));
        const auto request = fromHex(c.at("KeyExchangeRequest"));
        const auto response = fromHex(c.at("KeyExchangeResponse"));
        const auto keys = std::make_unique<SessionKeys>();
        bool derived = false;
        const std::vector<std::string> found = testing::secretsLeftOnDeadStack(
            [&] { derived = deriveSessionKeys(privateKey.data(), request.data(), response.data(), keys.get()); },
            testing::kDeadStackSearchTop, nullptr, {testing::secretOf("K", fromHex(c.at("K")))});
        ASSERT_TRUE(derived);
        EXPECT_EQ(sessionKeysHex(*keys), expectedSessionKeysHex(c));
        EXPECT_TRUE(found.empty()) << "left on the stack: " << ::testing::PrintToString(found);
    }
}

// A key point off the curve: false, and not one byte of the record written.
TEST_F(KeyDerivationSession, RefusedKeyPointLeavesTheRecordUntouched) {
    const auto& c = sessions.front();
    const auto privateKey = fromHex(c.at("hostPrivateKey"));
    const auto request = fromHex(c.at("KeyExchangeRequest"));
    auto response = fromHex(c.at("KeyExchangeResponse"));
    response.back() ^= 0x01;  // last byte of Y

    SessionKeys keys;
    std::memset(&keys, kUntouched, sizeof(keys));
    EXPECT_FALSE(deriveSessionKeys(privateKey.data(), request.data(), response.data(), &keys));
    const auto* bytes = reinterpret_cast<const uint8_t*>(&keys);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(keys), [](uint8_t b) { return b == kUntouched; }));
}

}  // namespace
}  // namespace korvene

// P-256 key pairs and the agreement, against the public and the generated
// vector files.
#include "device/session/ecdh.h"

#include <crypto++/eccrypto.h>
#include <crypto++/ecp.h>
#include <crypto++/oids.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/vector_file.h"

namespace korvene {
namespace {

using testing::fromHex;
using testing::loadVectorFile;
using testing::toHex;

// d·G in the 65-byte uncompressed encoding, computed without the code under test.
std::vector<uint8_t> publicPointOf(const std::vector<uint8_t>& privateKey) {
    const CryptoPP::DL_GroupParameters_EC<CryptoPP::ECP> curve(CryptoPP::ASN1::secp256r1());
    const CryptoPP::ECP::Point q = curve.ExponentiateBase(CryptoPP::Integer(privateKey.data(), privateKey.size()));
    std::vector<uint8_t> encoded(kEcPublicPointSize);
    curve.GetCurve().EncodePoint(encoded.data(), q, false);
    return encoded;
}

TEST(EcdhKeyPair, OutputsAreExactly32And65BytesWhateverTheVectorsHeld) {
    const std::vector<std::pair<size_t, size_t>> incoming = {{0, 0}, {5, 7}, {32, 65}, {100, 200}};
    for (const auto& [privateSize, publicSize] : incoming) {
        std::vector<uint8_t> privateKey(privateSize, 0xEE);
        std::vector<uint8_t> publicKey(publicSize, 0xEE);
        generateEphemeralKeyPair(privateKey, publicKey);
        SCOPED_TRACE("incoming sizes " + std::to_string(privateSize) + "/" + std::to_string(publicSize));
        ASSERT_EQ(privateKey.size(), kEcPrivateKeySize);
        ASSERT_EQ(publicKey.size(), kEcPublicPointSize);
        EXPECT_EQ(publicKey[0], 0x04);
        EXPECT_EQ(toHex(publicKey), toHex(publicPointOf(privateKey))) << "public point is not d·G";
    }
}

TEST(EcdhKeyPair, ConsecutivePairsDiffer) {
    std::vector<uint8_t> firstPrivate, firstPublic, secondPrivate, secondPublic;
    generateEphemeralKeyPair(firstPrivate, firstPublic);
    generateEphemeralKeyPair(secondPrivate, secondPublic);
    EXPECT_NE(firstPrivate, secondPrivate);
    EXPECT_NE(firstPublic, secondPublic);
}

TEST(EcdhAgree, TwoFreshPairsAgreeOnTheSameValueInBothDirections) {
    std::vector<uint8_t> aPrivate, aPublic, bPrivate, bPublic;
    generateEphemeralKeyPair(aPrivate, aPublic);
    generateEphemeralKeyPair(bPrivate, bPublic);
    std::vector<uint8_t> zA, zB;
    ASSERT_TRUE(ecdhAgree(aPrivate.data(), bPublic.data(), zA));
    ASSERT_TRUE(ecdhAgree(bPrivate.data(), aPublic.data(), zB));
    EXPECT_EQ(zA.size(), kEcAgreedValueSize);
    EXPECT_EQ(toHex(zA), toHex(zB));
}

// One agreement case, whatever the file calls its fields.
struct AgreementCase {
    std::string name;
    std::vector<uint8_t> privateKey;
    std::vector<uint8_t> peerPoint;
    bool valid;
    std::vector<uint8_t> shared;
};

std::vector<AgreementCase> agreementCases(const std::string& file) {
    std::vector<AgreementCase> cases;
    for (const auto& c : loadVectorFile(file)) {
        if (c.count("dIUT")) {  // NIST CDH primitive vectors: every case agrees
            cases.push_back({c.at("case"), fromHex(c.at("dIUT")), fromHex(c.at("public")), true,
                             fromHex(c.at("ZIUT"))});
        } else {
            cases.push_back({c.at("case"), fromHex(c.at("private")), fromHex(c.at("public")),
                             c.at("result") == "valid", fromHex(c.at("shared"))});
        }
    }
    return cases;
}

class EcdhAgreeVectorFile : public ::testing::TestWithParam<std::string> {};

// Valid points give the listed Z; refused ones give false and leave the empty
// output as 32 zero bytes. The refused-point file holds the wrong first bytes
// (00, 02, 03, 05 ...), the all-zero coordinates, X or Y >= p and a flipped Y
// bit; the public files hold the standard agreements and off-curve points.
TEST_P(EcdhAgreeVectorFile, AgreesOnValidPointsAndRefusesInvalidOnes) {
    const auto cases = agreementCases(GetParam() + ".txt");
    ASSERT_FALSE(cases.empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.privateKey.size(), kEcPrivateKeySize);
        ASSERT_EQ(c.peerPoint.size(), kEcPublicPointSize);
        std::vector<uint8_t> z;
        const bool agreed = ecdhAgree(c.privateKey.data(), c.peerPoint.data(), z);
        ASSERT_EQ(z.size(), kEcAgreedValueSize);
        if (c.valid) {
            EXPECT_TRUE(agreed);
            EXPECT_EQ(toHex(z), toHex(c.shared));
        } else {
            EXPECT_FALSE(agreed);
            EXPECT_EQ(toHex(z), std::string(2 * kEcAgreedValueSize, '0'));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Vectors, EcdhAgreeVectorFile,
                         ::testing::Values("p256_ecdh_cavs", "p256_ecdh_wycheproof", "p256_refused_points"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace korvene

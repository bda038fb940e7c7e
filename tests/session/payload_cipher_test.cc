// The payload cipher against the published AES-128-CTR vectors and the
// payload-cipher cases (counter carries included).
#include "device/session/payload_cipher.h"

#include <crypto++/aes.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/vector_file.h"

namespace korvene {
namespace {

using testing::fromHex;
using testing::loadVectorFile;
using testing::toHex;
using testing::VectorCase;

SessionKeys keysFrom(const std::string& cipherKey, const std::string& initialCounter) {
    SessionKeys keys{};
    const std::vector<uint8_t> key = fromHex(cipherKey);
    const std::vector<uint8_t> counter = fromHex(initialCounter);
    std::copy(key.begin(), key.end(), keys.cipherKey);
    std::copy(counter.begin(), counter.end(), keys.initialCounter);
    return keys;
}

std::vector<uint8_t> crypt(const SessionKeys& keys, std::vector<uint8_t> bytes) {
    ctrCrypt(&keys, bytes.data(), bytes.data(), bytes.size());
    return bytes;
}

// One AES-128 block encryption, without the code under test.
std::vector<uint8_t> aesBlock(const uint8_t* key, const std::vector<uint8_t>& block) {
    CryptoPP::AES::Encryption aes(key, 16);
    std::vector<uint8_t> out(16);
    aes.ProcessBlock(block.data(), out.data());
    return out;
}

TEST(PayloadCipher, MatchesTheSp80038aCounterModeVectors) {
    const std::vector<VectorCase> cases = loadVectorFile("aes128_ctr_sp800_38a.txt");
    ASSERT_EQ(cases.size(), 2u);
    for (const VectorCase& c : cases) {
        SCOPED_TRACE(c.at("case"));
        const SessionKeys keys = keysFrom(c.at("key"), c.at("initialCounter"));
        const std::vector<uint8_t> plain = fromHex(c.at("plaintext"));
        const std::vector<uint8_t> cipher = fromHex(c.at("ciphertext"));

        EXPECT_EQ(toHex(crypt(keys, plain)), c.at("ciphertext"));
        std::vector<uint8_t> deciphered(cipher.size());
        ctrDecrypt(&keys, cipher.data(), deciphered.data(), cipher.size());
        EXPECT_EQ(toHex(deciphered), c.at("plaintext"));

        // Enciphering zeros gives the key stream itself, block by block.
        const std::vector<uint8_t> stream = crypt(keys, std::vector<uint8_t>(64, 0));
        for (size_t block = 1; block <= 4; ++block) {
            EXPECT_EQ(toHex(stream.data() + 16 * (block - 1), 16), c.at("outputBlock" + std::to_string(block)))
                << "block " << block;
        }
    }
}

TEST(PayloadCipher, MatchesThePayloadCasesInPlaceAndOutOfPlace) {
    const std::vector<VectorCase> cases = loadVectorFile("payload_cipher.txt");
    ASSERT_GE(cases.size(), 7u);
    for (const VectorCase& c : cases) {
        SCOPED_TRACE(c.at("case") + ": " + c.at("comment"));
        const SessionKeys keys = keysFrom(c.at("SessionKeys.cipherKey"), c.at("SessionKeys.initialCounter"));
        const std::vector<uint8_t> plain = fromHex(c.at("plaintext"));
        const std::vector<uint8_t> cipher = fromHex(c.at("ciphertext"));

        EXPECT_EQ(crypt(keys, plain), cipher);
        std::vector<uint8_t> separate(plain.size(), 0xEE);
        ctrCrypt(&keys, plain.data(), separate.data(), plain.size());
        EXPECT_EQ(separate, cipher);
        std::vector<uint8_t> deciphered = cipher;
        ctrDecrypt(&keys, deciphered.data(), deciphered.data(), deciphered.size());
        EXPECT_EQ(deciphered, plain);
    }
}

TEST(PayloadCipher, SecondKeyStreamBlockUsesTheCounterPlusOneWithCarryThroughAllBytes) {
    for (const VectorCase& c : loadVectorFile("payload_cipher.txt")) {
        const std::vector<uint8_t> plain = fromHex(c.at("plaintext"));
        if (plain.size() <= 16) continue;
        SCOPED_TRACE(c.at("case") + ": " + c.at("comment"));
        const SessionKeys keys = keysFrom(c.at("SessionKeys.cipherKey"), c.at("SessionKeys.initialCounter"));
        const std::vector<uint8_t> stream = crypt(keys, std::vector<uint8_t>(32, 0));
        const std::vector<uint8_t> block1 = aesBlock(keys.cipherKey, fromHex(c.at("counterBlock1")));
        EXPECT_EQ(std::vector<uint8_t>(stream.begin() + 16, stream.end()), block1);
    }
}

TEST(PayloadCipher, EveryCallStartsAtTheInitialCounter) {
    const SessionKeys keys = keysFrom("000102030405060708090a0b0c0d0e0f", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    const std::vector<uint8_t> payload(40, 0x5A);
    const std::vector<uint8_t> first = crypt(keys, payload);
    EXPECT_EQ(crypt(keys, payload), first);
    // A 4-byte payload meets the first four key-stream bytes: block 0 alone.
    const std::vector<uint8_t> block0 = aesBlock(keys.cipherKey, std::vector<uint8_t>(std::begin(keys.initialCounter),
                                                                                      std::end(keys.initialCounter)));
    const std::vector<uint8_t> info = crypt(keys, {0x03, 0x00, 0x00, 0x00});
    EXPECT_EQ(info, (std::vector<uint8_t>{uint8_t(0x03 ^ block0[0]), block0[1], block0[2], block0[3]}));
    EXPECT_EQ(crypt(keys, first), payload);
}

TEST(PayloadCipher, ReservedMembersDoNotEnterTheCipher) {
    SessionKeys keys = keysFrom("2b7e151628aed2a6abf7158809cf4f3c", "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    const std::vector<uint8_t> payload(33, 0x11);
    const std::vector<uint8_t> reference = crypt(keys, payload);
    std::fill(std::begin(keys.reserved0), std::end(keys.reserved0), 0xFF);
    std::fill(std::begin(keys.reserved1), std::end(keys.reserved1), 0x77);
    EXPECT_EQ(crypt(keys, payload), reference);
}

}  // namespace
}  // namespace korvene

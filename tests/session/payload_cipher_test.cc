// The payload cipher against the published AES-128-CTR vectors and the
// payload-cipher cases (counter carries included), and what its reused cipher
// object keeps of a session once a call has returned.
#include "device/session/payload_cipher.h"

#include <crypto++/aes.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/session/wipe.h"
#include "tests/support/secret_search.h"
#include "tests/support/vector_file.h"

namespace korvene {
namespace {

using testing::fromHex;
using testing::Secret;
using testing::secretOf;
using testing::secretsInWritableMemory;
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

// ---- what the cipher keeps after a call ----

// Secrets in read-only data, which the memory search does not look at. Their
// working copies stay on this thread's stack, which it does not look at either.
constexpr uint8_t kHeldSecret[16] = {0x3d, 0x91, 0x0e, 0x5b, 0xa8, 0x77, 0xc2, 0x19,
                                     0x64, 0xfa, 0x2b, 0x80, 0xd5, 0x4e, 0x13, 0xb6};
constexpr uint8_t kSessionCipherKey[16] = {0x8f, 0x6e, 0x4a, 0xda, 0x87, 0x9f, 0xd7, 0x48,
                                           0x83, 0x3e, 0x67, 0x0b, 0xd0, 0x02, 0x02, 0xf1};
constexpr uint8_t kSessionCounter[16] = {0xc7, 0x7d, 0xd6, 0x9e, 0x40, 0x75, 0xf4, 0x2d,
                                         0x8d, 0xa1, 0x74, 0x83, 0xda, 0x24, 0xe3, 0x07};

thread_local uint8_t threadStorageCopy[sizeof(kHeldSecret)];

std::vector<std::string> heldSecretsInWritableMemory() {
    size_t searched = 0;
    std::vector<std::string> found =
        secretsInWritableMemory({secretOf("the held secret", kHeldSecret, sizeof(kHeldSecret))}, searched);
    EXPECT_GT(searched, 0u);
    return found;
}

// The search the next test relies on: it finds a copy on the heap and one in
// the thread's storage, and once both are wiped, nothing, so its own copy of the
// secret is no match.
TEST(WritableMemorySearch, FindsACopyOnTheHeapAndInThreadStorageAndNothingOnceTheyAreWiped) {
    const auto heapCopy = std::make_unique<uint8_t[]>(sizeof(kHeldSecret));
    std::memcpy(heapCopy.get(), kHeldSecret, sizeof(kHeldSecret));
    std::memcpy(threadStorageCopy, kHeldSecret, sizeof(kHeldSecret));

    const std::vector<std::string> found = heldSecretsInWritableMemory();
    const auto foundAt = [&found](const void* copy) {
        std::ostringstream address;
        address << "at " << copy << " ";
        return std::any_of(found.begin(), found.end(), [&address](const std::string& where) {
            return where.find(address.str()) != std::string::npos;
        });
    };
    EXPECT_EQ(found.size(), 2u) << ::testing::PrintToString(found);
    EXPECT_TRUE(foundAt(heapCopy.get())) << "the heap copy is missed: " << ::testing::PrintToString(found);
    EXPECT_TRUE(foundAt(threadStorageCopy)) << "the thread's copy is missed: " << ::testing::PrintToString(found);

    wipeBuffer(heapCopy.get(), sizeof(kHeldSecret));
    wipeBuffer(threadStorageCopy, sizeof(threadStorageCopy));
    EXPECT_EQ(heldSecretsInWritableMemory(), std::vector<std::string>{});
}

// A call leaves neither the cipher key (as the key schedule starts) nor the last
// key-stream block it made in the process's memory once the caller has wiped its
// record: the reused cipher object is keyed anew before the call returns. The
// payload ends in half a block, whose key stream is made whole and kept.
TEST(PayloadCipher, LeavesNoPieceOfTheKeyOrTheLastKeyStreamBlockInWritableMemory) {
    constexpr size_t kLength = 40;
    constexpr uint8_t kPlainByte = 0x5C;
    // The third key-stream block, from a block cipher of this test's own.
    uint8_t lastCounter[16];
    std::memcpy(lastCounter, kSessionCounter, sizeof(lastCounter));
    lastCounter[15] += 2;  // no carry from this counter's last byte
    uint8_t lastStream[16];
    {
        CryptoPP::AES::Encryption aes(kSessionCipherKey, sizeof(kSessionCipherKey));
        aes.ProcessBlock(lastCounter, lastStream);
    }

    SessionKeys keys{};
    std::memcpy(keys.cipherKey, kSessionCipherKey, sizeof(keys.cipherKey));
    std::memcpy(keys.initialCounter, kSessionCounter, sizeof(keys.initialCounter));
    uint8_t payload[kLength];
    std::memset(payload, kPlainByte, sizeof(payload));
    ctrCrypt(&keys, payload, payload, sizeof(payload));
    // The payload's last half block was enciphered with the block searched for.
    for (size_t i = 32; i < kLength; ++i) EXPECT_EQ(payload[i] ^ kPlainByte, lastStream[i - 32]) << "byte " << i;

    const std::vector<Secret> secrets = {
        secretOf("the cipher key", kSessionCipherKey, sizeof(kSessionCipherKey)),
        secretOf("the last key-stream block", lastStream, sizeof(lastStream)),
    };
    wipeBuffer(lastStream, sizeof(lastStream));
    wipeBuffer(&keys, sizeof(keys));
    wipeBuffer(payload, sizeof(payload));
    size_t searched = 0;
    const std::vector<std::string> found = secretsInWritableMemory(secrets, searched);
    EXPECT_GT(searched, 0u);
    EXPECT_TRUE(found.empty()) << "left in memory: " << ::testing::PrintToString(found);
}

}  // namespace
}  // namespace korvene

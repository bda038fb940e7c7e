// The host's secrets after an update: once a whole update, or one that the key
// refuses for a wrong SO PIN, has run and the session is gone, no heap block the
// host freed holds the SO PIN (as typed, or as enciphered for the setup
// request), Z, the host's ephemeral private key, or the derived key bytes. The
// frame buffer with the setup request's payload area is freed when the session
// is destroyed, inside the scan, so its last contents are judged too.
//
// Every secret is fixed so that the test knows it: the host's key pair and the
// key's private key and nonce are those of protocol session 1
// (protocol_sessions.txt), hence Z and the session keys are too. The virtual
// key holds and frees the same secrets on its side; it runs inside the bulk
// transfer calls, and what it frees there is not searched. Copies on the stack
// (K and the digests of the derivation) are beyond a heap search.
#include <crypto++/aes.h>
#include <crypto++/modes.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "device/session/key_session.h"
#include "device/session/wipe.h"
#include "tests/doubles/forwarding_device/forwarding_usb_device.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/session/key_side_vectors.h"
#include "tests/support/heap_allocation_counter.h"
#include "tests/support/stdin_feed.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/vector_file.h"
#include "tests/tool/virtual_key_session.h"
#include "tool/exit_code.h"
#include "tool/firmware_pack.h"
#include "tool/trace.h"
#include "tool/update_flow.h"

namespace korvene::testing {
namespace {

constexpr uint8_t kSetupUpdate = static_cast<uint8_t>(CommandCode::SetupUpdate);
// The three setup values before the PIN in the setup request.
constexpr size_t kSetupValuesSize = 12;

// ---- the scan itself ----

const std::vector<uint8_t> kMarker = {0x6d, 0x61, 0x72, 0x6b, 0x65, 0x72, 0x3a, 0x7e,
                                      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
constexpr size_t kBlockSize = 64;

std::vector<FreedBlockMarker> oneMarker() { return {{"marker", kMarker}}; }

// The marker at the very end of a block, so that only a search over the whole
// block finds it.
void putMarker(void* block) {
    std::memset(block, 0, kBlockSize);
    std::memcpy(static_cast<uint8_t*>(block) + kBlockSize - kMarker.size(), kMarker.data(), kMarker.size());
}

constexpr std::align_val_t kAlignment{64};

struct DeleteForm {
    const char* name;
    void (*freeBlockHoldingTheMarker)();
};

void PrintTo(const DeleteForm& form, std::ostream* os) { *os << form.name; }

// Frees a block holding the marker through the plain operator delete.
void freeWholeMarker() {
    void* block = ::operator new(kBlockSize);
    putMarker(block);
    ::operator delete(block);
}

// Keeps the optimiser from dropping an allocation that nothing reads.
const char* volatile escaped = nullptr;

const DeleteForm kDeleteForms[] = {
    {"StringOfTheStandardLibrary",
     [] {
         const std::string text(kMarker.begin(), kMarker.end());
         escaped = text.data();
     }},
    {"Plain", freeWholeMarker},
    {"Array",
     [] {
         void* block = ::operator new[](kBlockSize);
         putMarker(block);
         ::operator delete[](block);
     }},
    {"Aligned",
     [] {
         void* block = ::operator new(kBlockSize, kAlignment);
         putMarker(block);
         ::operator delete(block, kAlignment);
     }},
    {"AlignedArray",
     [] {
         void* block = ::operator new[](kBlockSize, kAlignment);
         putMarker(block);
         ::operator delete[](block, kAlignment);
     }},
// The sized forms exist where the compiler deallocates with sizes (g++ by
// default, clang 14 only when asked); the standard library then uses them.
#if defined(__cpp_sized_deallocation)
    {"Sized",
     [] {
         void* block = ::operator new(kBlockSize);
         putMarker(block);
         ::operator delete(block, kBlockSize);
     }},
    {"SizedArray",
     [] {
         void* block = ::operator new[](kBlockSize);
         putMarker(block);
         ::operator delete[](block, kBlockSize);
     }},
    {"SizedAligned",
     [] {
         void* block = ::operator new(kBlockSize, kAlignment);
         putMarker(block);
         ::operator delete(block, kBlockSize, kAlignment);
     }},
    {"SizedAlignedArray",
     [] {
         void* block = ::operator new[](kBlockSize, kAlignment);
         putMarker(block);
         ::operator delete[](block, kBlockSize, kAlignment);
     }},
#endif
};

class FreedBlockScanDelete : public ::testing::TestWithParam<DeleteForm> {};

TEST_P(FreedBlockScanDelete, FindsTheMarkerInTheBlockItReleases) {
    std::vector<FreedBlockMarker> markers = oneMarker();
    {
        const FreedBlockScan scan(markers);
        GetParam().freeBlockHoldingTheMarker();
    }
    EXPECT_EQ(markers[0].blocksHolding, 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryForm, FreedBlockScanDelete, ::testing::ValuesIn(kDeleteForms),
                         [](const ::testing::TestParamInfo<DeleteForm>& info) { return std::string(info.param.name); });

// A block holding the last `kept` bytes of the marker, the rest wiped, freed.
void freeWithPartOfTheMarker(size_t kept) {
    void* block = ::operator new(kBlockSize);
    putMarker(block);
    wipeBuffer(block, kBlockSize - kept);
    ::operator delete(block);
}

TEST(FreedBlockScan, FindsEightBytesOfTheMarkerButNotSevenAndNothingFreedWhilePaused) {
    std::vector<FreedBlockMarker> markers = oneMarker();
    {
        const FreedBlockScan scan(markers);
        {
            const FreedBlockScanPause pause;
            freeWholeMarker();
        }
        freeWithPartOfTheMarker(0);
        freeWithPartOfTheMarker(7);
        freeWithPartOfTheMarker(8);
        // Searched again once the pause is over.
        freeWholeMarker();
    }
    EXPECT_EQ(markers[0].blocksHolding, 2u);
    EXPECT_GE(markers[0].firstBlockSize, kBlockSize);
}

// ---- the secrets of an update ----

// The virtual key behind a device whose bulk transfers are not scanned: the
// key's side of every request and answer runs inside them.
class KeySideUnscannedDevice final : public ForwardingUsbDevice {
public:
    using ForwardingUsbDevice::ForwardingUsbDevice;

    bool bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) override {
        const FreedBlockScanPause keySide;
        return ForwardingUsbDevice::bulkWrite(outIndex, data, length);
    }

    bool bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) override {
        const FreedBlockScanPause keySide;
        return ForwardingUsbDevice::bulkRead(inIndex, data, length, received);
    }
};


// Far longer than the 15 bytes a string holds without the heap, and with no
// 8 bytes in common.
const std::string kKeysSoPin = "Qv7#mZ2!pL9@xR4$wK6%tN1^hB8&jD3*cF5(gS0)yU";
const std::string kWrongSoPin = "oE2+aI7=uY4~eW9|iT1<oR6>aP3?sD8;fG5:hJ0,kL";

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// The setup request's plain payload: the pack's three values, then the PIN.
std::vector<uint8_t> setupPlain(const std::string& soPin) {
    const FirmwarePackHeader* pack = embeddedPackHeader();
    std::vector<uint8_t> bytes;
    for (uint32_t value : {pack->setupValue1, pack->setupValue2, pack->payloadSize}) {
        for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
    bytes.insert(bytes.end(), soPin.begin(), soPin.end());
    return bytes;
}

// The PIN's bytes of the setup request as enciphered under the session's keys.
// Every payload starts the key stream afresh, so these with any enciphered
// firmware chunk give the plain PIN back: they are as secret as the PIN.
std::vector<uint8_t> encipheredPin(const VectorCase& session, const std::string& soPin) {
    std::vector<uint8_t> payload = setupPlain(soPin);
    const std::vector<uint8_t> key = fromHex(session.at("SessionKeys.cipherKey"));
    const std::vector<uint8_t> counter = fromHex(session.at("SessionKeys.initialCounter"));
    CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher(key.data(), key.size(), counter.data());
    cipher.ProcessData(payload.data(), payload.data(), payload.size());
    return {payload.begin() + kSetupValuesSize, payload.end()};
}

std::vector<FreedBlockMarker> hostSecrets(const VectorCase& session, const std::string& typedPin) {
    const std::vector<uint8_t> k = fromHex(session.at("K"));
    return {
        {"the SO PIN as typed", bytesOf(typedPin)},
        {"the SO PIN as enciphered in the setup request", encipheredPin(session, typedPin)},
        {"Z", fromHex(session.at("Z"))},
        {"the host's ephemeral private key", fromHex(session.at("hostPrivateKey"))},
        {"K[0..15]", {k.begin(), k.begin() + 16}},
        {"SessionKeys.reserved0, K[16..31]", fromHex(session.at("SessionKeys.reserved0"))},
        {"SessionKeys.cipherKey, K[32..47]", fromHex(session.at("SessionKeys.cipherKey"))},
        {"SessionKeys.reserved1, K[48..63]", fromHex(session.at("SessionKeys.reserved1"))},
    };
}

struct SecretRun {
    const char* name;
    std::string typedPin;
    int exitCode;
};

void PrintTo(const SecretRun& run, std::ostream* os) { *os << run.name; }

class HostSecretsAfterUpdate : public ::testing::TestWithParam<SecretRun> {};

TEST_P(HostSecretsAfterUpdate, NoBlockFreedByTheHostHoldsThePinZThePrivateKeyOrTheSessionKeys) {
    const SecretRun& run = GetParam();
    const std::vector<VectorCase> sessions = loadVectorFile("protocol_sessions.txt");
    ASSERT_FALSE(sessions.empty());
    const VectorCase& vectors = sessions.front();
    const std::vector<uint8_t> hostPrivate = fromHex(vectors.at("hostPrivateKey"));
    const std::vector<uint8_t> hostPublic = fromHex(vectors.at("hostPublicPoint"));

    VirtualKeySession k;
    VirtualKey& key = k.key;
    key.state.soPinSet = true;
    key.state.soPin = kKeysSoPin;
    giveKeyTheSessionOf(key, vectors);
    k.enumerator.wrapOpened = [](std::unique_ptr<KvUsbDevice> device) {
        return std::make_unique<KeySideUnscannedDevice>(std::move(device));
    };
    ASSERT_TRUE(k.open());
    // The test's copies of the host's key pair stay alive beyond the scan; the
    // session's own copies are the ones judged.
    k.session->setKeyPairGenerator(
        [&hostPrivate, &hostPublic](std::vector<uint8_t>& privateKey, std::vector<uint8_t>& publicKey) {
            privateKey = hostPrivate;
            publicKey = hostPublic;
        });

    std::vector<FreedBlockMarker> secrets = hostSecrets(vectors, run.typedPin);
    const std::string input = "y\n" + run.typedPin + "\n";
    int result = -1;
    size_t searched = 0;
    {
        StdinFeed feed(input);
        StdoutCapture capture;
        traceInit(TraceLevel::Info);
        {
            const FreedBlockScan scan(secrets);
            result = runUpdate(k.session, false);
            // The frame buffer and the key record go with the session.
            k.session.reset();
            searched = scannedFreedBlocks();
        }
        (void)capture.take();
    }

    EXPECT_EQ(result, run.exitCode);
    EXPECT_GT(searched, 0u);
    // The markers are what the host held: the key agreed the same keys and
    // received the typed PIN enciphered as the marker has it.
    ASSERT_TRUE(key.state.keys.has_value());
    EXPECT_EQ(toHex(key.state.keys->cipherKey, sizeof(key.state.keys->cipherKey)),
              vectors.at("SessionKeys.cipherKey"));
    const ReceivedRequest* setup = key.lastRequest(kSetupUpdate);
    ASSERT_NE(setup, nullptr);
    EXPECT_EQ(setup->plain, setupPlain(run.typedPin));
    EXPECT_EQ(std::vector<uint8_t>(setup->payload.begin() + kSetupValuesSize, setup->payload.end()),
              secrets[1].bytes);

    for (const FreedBlockMarker& secret : secrets) {
        EXPECT_EQ(secret.blocksHolding, 0u) << secret.name << " in " << secret.blocksHolding
                                            << " freed block(s), the first of " << secret.firstBlockSize
                                            << " bytes";
    }
}

const SecretRun kRuns[] = {
    {"WholeUpdate", kKeysSoPin, static_cast<int>(ExitCode::Updated)},
    {"RefusedForAWrongSoPin", kWrongSoPin, static_cast<int>(ExitCode::Canceled)},
};

INSTANTIATE_TEST_SUITE_P(Runs, HostSecretsAfterUpdate, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<SecretRun>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvene::testing

// installFirmware on packs of chosen sizes and with SO PINs of chosen lengths:
// how the payload is cut into WriteFirmware requests, that the progress has
// reached standard output before each transfer, how the setup request is laid
// out, which requests travel encrypted, and the digest comparison. The other
// ways the installation fails are covered through the update flow
// (update_flow_test.cc).
#include <crypto++/sha.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "tests/doubles/virtual_key/wire_status.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/vector_file.h"
#include "tests/tool/virtual_key_session.h"
#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"
#include "tool/trace.h"

namespace korvene::testing {
namespace {

constexpr int kSetupUpdate = static_cast<int>(CommandCode::SetupUpdate);
constexpr int kWriteFirmware = static_cast<int>(CommandCode::WriteFirmware);
constexpr int kFinishUpdate = static_cast<int>(CommandCode::FinishUpdate);
constexpr int kDeployFirmware = static_cast<int>(CommandCode::DeployFirmware);

constexpr uint32_t kSetupValue1 = 0x04030201;
constexpr uint32_t kSetupValue2 = 0xF8F7F6F5;

// A pack in one block of memory: the header, then `payloadSize` patterned bytes.
std::vector<uint8_t> makePack(uint32_t payloadSize) {
    FirmwarePackHeader header{};
    std::memcpy(header.magic, "KORVFIRM", sizeof(header.magic));
    header.headerSize = sizeof(FirmwarePackHeader);
    header.packVersion[0] = 2;
    header.packVersion[1] = 0;
    header.setupValue1 = kSetupValue1;
    header.setupValue2 = kSetupValue2;
    header.payloadSize = payloadSize;
    std::vector<uint8_t> pack(sizeof(header) + payloadSize);
    std::memcpy(pack.data(), &header, sizeof(header));
    for (uint32_t i = 0; i < payloadSize; ++i) pack[sizeof(header) + i] = static_cast<uint8_t>(i * 7 + i / 251);
    return pack;
}

struct Installed {
    bool result = false;
    std::string output;
    // For each bulk write of the installation: the command it carries, and
    // what had reached standard output when it began.
    std::vector<std::pair<uint8_t, std::string>> outputAtWrite;
};

Installed install(VirtualKeySession& k, const std::vector<uint8_t>& pack, const std::string& soPin) {
    Installed run;
    StdoutCapture capture;
    traceInit(TraceLevel::Info);
    VirtualKeyDevice& device = *k.enumerator.lastOpened;
    device.beforeBulkWrite = [&run, &capture](const uint8_t* data, uint32_t length) {
        // Only what was flushed is there: the capture does not flush stdout here.
        run.output += capture.takeUnflushed();
        const uint8_t command = length >= kFrameHeaderSize ? data[5] & kFrameCodeMask : 0;
        run.outputAtWrite.emplace_back(command, run.output);
    };
    run.result = installFirmware(*k.session, reinterpret_cast<const FirmwarePackHeader*>(pack.data()), soPin);
    device.beforeBulkWrite = nullptr;
    run.output += capture.take();
    return run;
}

struct ChunkCase {
    const char* name;
    uint32_t payloadSize;
    std::vector<size_t> chunks;
};

void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

class InstallFirmwareChunks : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(InstallFirmwareChunks, SendsThePayloadInOrderInChunksOfAtMost8192BytesWithOneDotEach) {
    const ChunkCase& c = GetParam();
    VirtualKeySession k;
    ASSERT_TRUE(k.open());
    const std::vector<uint8_t> pack = makePack(c.payloadSize);

    const Installed run = install(k, pack, "");

    EXPECT_TRUE(run.result);
    EXPECT_EQ(run.output, "Writing firmware " + std::string(c.chunks.size(), '.') +
                              " done!\nVerifying firmware .. done!\n");
    std::vector<size_t> sent;
    for (const ReceivedRequest& request : k.key.requests) {
        if (request.command == kWriteFirmware) sent.push_back(request.length);
    }
    EXPECT_EQ(sent, c.chunks);
    EXPECT_EQ(k.key.state.firmware, std::vector<uint8_t>(pack.begin() + sizeof(FirmwarePackHeader), pack.end()));

    // Each piece of progress was flushed: every dot had reached standard
    // output before the next transfer began.
    std::vector<std::string> expected = {"KeyExchange: ", "SetupUpdate: "};
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        expected.push_back("WriteFirmware: Writing firmware " + std::string(i, '.'));
    }
    const std::string written = "Writing firmware " + std::string(c.chunks.size(), '.') + " done!\n";
    expected.push_back("GetFirmwareHash: " + written + "Verifying firmware .");
    expected.push_back("DeployFirmware: " + written + "Verifying firmware .. done!\n");
    expected.push_back("FinishUpdate: " + written + "Verifying firmware .. done!\n");
    std::vector<std::string> atWrite;
    for (const auto& [command, output] : run.outputAtWrite) atWrite.push_back(commandName(command) + ": " + output);
    EXPECT_EQ(atWrite, expected);
}

INSTANTIATE_TEST_SUITE_P(
    PayloadSizes, InstallFirmwareChunks,
    ::testing::Values(ChunkCase{"OneByte", 1, {1}}, ChunkCase{"ExactlyOneChunk", 8192, {8192}},
                      ChunkCase{"OneByteOverAChunk", 8193, {8192, 1}},
                      ChunkCase{"TwoFullChunksAndNoEmptyOne", 16384, {8192, 8192}}),
    [](const ::testing::TestParamInfo<ChunkCase>& info) { return std::string(info.param.name); });

class InstallFirmwareSetup : public ::testing::TestWithParam<size_t> {};

TEST_P(InstallFirmwareSetup, CarriesThePackValuesLittleEndianThenThePinAsTypedAndNothingElse) {
    const size_t pinLength = GetParam();
    VirtualKeySession k;
    ASSERT_TRUE(k.open());
    std::string pin(pinLength, 'x');
    for (size_t i = 0; i < pinLength; ++i) pin[i] = static_cast<char>('!' + i % 90);
    k.key.state.soPinSet = pinLength > 0;
    k.key.state.soPin = pin;
    const std::vector<uint8_t> pack = makePack(100);

    ASSERT_TRUE(install(k, pack, pin).result);

    const ReceivedRequest* setup = k.key.lastRequest(kSetupUpdate);
    ASSERT_NE(setup, nullptr);
    EXPECT_TRUE(setup->encrypted);
    const uint8_t values[12] = {0x01, 0x02, 0x03, 0x04, 0xF5, 0xF6, 0xF7, 0xF8, 100, 0, 0, 0};
    std::vector<uint8_t> expected(sizeof(values) + pin.size());
    std::memcpy(expected.data(), values, sizeof(values));
    std::copy(pin.begin(), pin.end(), expected.data() + sizeof(values));
    EXPECT_EQ(setup->length, 12 + pinLength);
    EXPECT_EQ(setup->plain, expected);
}

INSTANTIATE_TEST_SUITE_P(PinLengths, InstallFirmwareSetup, ::testing::Values(0, 1, 256),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return "Pin" + std::to_string(info.param) + "Bytes";
                         });

// Each request travels as its command requires, whatever the key would
// accept: the key exchange, deployment and finish plain, the setup and the
// chunks enciphered, the digest query flagged with no payload. The key's
// answer to FinishUpdate is never read.
TEST(InstallFirmware, EachRequestTravelsPlainOrEncryptedAsItsCommandRequires) {
    VirtualKeySession k;
    ASSERT_TRUE(k.open());
    ResponseFault finishAnswered;
    finishAnswered.command = kFinishUpdate;
    finishAnswered.wireStatus = wire::Busy;
    k.key.knobs.faults = {finishAnswered};

    ASSERT_TRUE(install(k, makePack(8193), "").result);

    std::vector<std::string> sent;
    for (size_t i = k.requestsAtStart; i < k.key.requests.size(); ++i) {
        const ReceivedRequest& request = k.key.requests[i];
        sent.push_back(commandName(request.command) + (request.encrypted ? " encrypted " : " plain ") +
                       std::to_string(request.length));
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"KeyExchange plain 73", "SetupUpdate encrypted 12",
                                              "WriteFirmware encrypted 8192", "WriteFirmware encrypted 1",
                                              "GetFirmwareHash encrypted 0", "DeployFirmware plain 0",
                                              "FinishUpdate plain 0"}));
    EXPECT_TRUE(k.key.hasResponse()) << "the answer to FinishUpdate was read";
}

// The key's digest must be the local one, all 32 bytes of it and nothing
// more; anything else is dumped whole and nothing is deployed.
TEST(InstallFirmware, DigestDifferingInAnyByteOrLongerIsDumpedWholeAndNotDeployed) {
    const struct {
        const char* name;
        bool wrongByte;
        size_t byte;  // the byte changed when wrongByte
        size_t extraBytes;
    } cases[] = {
        {"last byte changed", true, 31, 0},
        {"correct digest and one byte more", false, 0, 1},
    };
    const std::vector<uint8_t> pack = makePack(100);
    std::vector<uint8_t> digest(CryptoPP::SHA256::DIGESTSIZE);
    CryptoPP::SHA256().CalculateDigest(digest.data(), pack.data() + sizeof(FirmwarePackHeader), 100);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualKeySession k;
        ASSERT_TRUE(k.open());
        k.key.knobs.wrongDigest = c.wrongByte;
        k.key.knobs.wrongDigestByte = c.byte;
        k.key.knobs.extraDigestBytes = c.extraBytes;
        std::vector<uint8_t> answered = digest;
        if (c.wrongByte) answered[c.byte] ^= 0x01;
        const std::vector<uint8_t> extra = VirtualKey::filler(c.extraBytes);
        answered.insert(answered.end(), extra.begin(), extra.end());

        const Installed run = install(k, pack, "");

        EXPECT_FALSE(run.result);
        EXPECT_EQ(run.output, "Writing firmware . done!\nVerifying firmware ..[ERROR  ] Hash mismatch: " +
                                  toHex(answered) + "\n");
        EXPECT_EQ(k.key.countRequests(kDeployFirmware), 0u);
    }
}

}  // namespace
}  // namespace korvene::testing

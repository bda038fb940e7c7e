// installFirmware on packs of chosen sizes and with SO PINs of chosen lengths:
// how the payload is cut into WriteFirmware requests and how the setup request
// is laid out. The ways the installation fails are covered through the update
// flow (update_flow_test.cc).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "tests/support/stdout_capture.h"
#include "tests/tool/virtual_key_session.h"
#include "tool/firmware_pack.h"
#include "tool/install_firmware.h"
#include "tool/trace.h"

namespace korvene::testing {
namespace {

constexpr int kSetupUpdate = static_cast<int>(CommandCode::SetupUpdate);
constexpr int kWriteFirmware = static_cast<int>(CommandCode::WriteFirmware);

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
};

Installed install(VirtualKeySession& k, const std::vector<uint8_t>& pack, const std::string& soPin) {
    Installed run;
    StdoutCapture capture;
    traceInit(TraceLevel::Info);
    run.result = installFirmware(*k.session, reinterpret_cast<const FirmwarePackHeader*>(pack.data()), soPin);
    run.output = capture.take();
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

}  // namespace
}  // namespace korvene::testing

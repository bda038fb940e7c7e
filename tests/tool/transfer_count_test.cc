// The bulk transfers of a whole update of the embedded pack through the real
// USB transport, counted on the libusb stand-in: one OUT transfer per request,
// a zero-length packet behind it only when the frame is a whole number of
// 64-byte packets, and for each answer no more IN transfers than the
// packet-buffered read needs.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/session/frame.h"
#include "tests/doubles/libusb_standin/libusb_standin.h"
#include "tests/tool/scripted_update.h"

namespace korvene::testing {
namespace {

constexpr size_t kPacket = 64;

const char* commandName(uint8_t command) {
    switch (static_cast<CommandCode>(command)) {
        case CommandCode::KeyExchange: return "KeyExchange";
        case CommandCode::SetupUpdate: return "SetupUpdate";
        case CommandCode::WriteFirmware: return "WriteFirmware";
        case CommandCode::GetFirmwareHash: return "GetFirmwareHash";
        case CommandCode::DeployFirmware: return "DeployFirmware";
        case CommandCode::FinishUpdate: return "FinishUpdate";
        default: return "other";
    }
}

std::string transfer(const std::string& command, const char* direction, size_t bytes) {
    return command + " " + direction + " " + std::to_string(bytes);
}

// The fewest transfers of one exchange, each as the bytes it asks for.
std::vector<std::string> fewestTransfers(const ScriptedExchange& exchange) {
    const std::string& command = exchange.command;
    std::vector<std::string> transfers{transfer(command, "OUT", exchange.requestFrame)};
    if (exchange.requestFrame % kPacket == 0) transfers.push_back(transfer(command, "OUT", 0));

    const size_t answer = exchange.responseFrame;
    if (answer == 0) return transfers;
    // The header's read fetches the answer's first packet into the endpoint's
    // buffer; a payload that fits in it is served from there.
    transfers.push_back(transfer(command, "IN", kPacket));
    if (answer <= kPacket) {
        // Using up a full packet reads the zero-length packet behind it at once.
        if (answer == kPacket) transfers.push_back(transfer(command, "IN", kPacket));
        return transfers;
    }
    // The rest: its whole packets in one transfer straight into the caller's
    // buffer, then one packet read for the short last packet (or the
    // zero-length one).
    const size_t rest = answer - kPacket;
    if (rest >= kPacket) transfers.push_back(transfer(command, "IN", kPacket * (rest / kPacket)));
    transfers.push_back(transfer(command, "IN", kPacket));
    return transfers;
}

struct PinCase {
    const char* name;
    size_t pinLength;
};

void PrintTo(const PinCase& c, std::ostream* os) { *os << c.name; }

class UpdateTransfers : public ::testing::TestWithParam<PinCase> {};

TEST_P(UpdateTransfers, OneOutTransferPerRequestAndNoMoreInTransfersThanThePacketBufferedReadNeeds) {
    ScriptedUpdate update(std::string(GetParam().pinLength, '7'));
    ASSERT_TRUE(update.session);
    LibUsbStandin& usb = LibUsbStandin::instance();
    usb.clearLog();

    ASSERT_TRUE(update.install());

    std::vector<std::string> expected;
    for (const ScriptedExchange& exchange : update.exchanges()) {
        for (std::string& one : fewestTransfers(exchange)) expected.push_back(std::move(one));
    }
    std::vector<std::string> actual;
    std::string command = "none";
    for (const BulkTransferRecord& record : usb.bulkTransfers()) {
        const bool in = (record.endpoint & 0x80) != 0;
        // Every IN transfer belongs to the request written last.
        if (!in && record.data.size() >= kFrameHeaderSize) command = commandName(record.data[5] & kFrameCodeMask);
        actual.push_back(transfer(command, in ? "IN" : "OUT", static_cast<size_t>(record.length)));
        EXPECT_EQ(record.result, 0) << actual.back();
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(usb.pendingInPackets(update.device(), 0x81), 0u) << "answers the host never read";
    EXPECT_TRUE(usb.misuses().empty());
}

INSTANTIATE_TEST_SUITE_P(
    SoPins, UpdateTransfers,
    ::testing::Values(PinCase{"SetupFrameOfOnePacketIsFollowedByZeroLengthPacket", 64 - kFrameHeaderSize - 12},
                      PinCase{"SixDigitPin", 6}),
    [](const ::testing::TestParamInfo<PinCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvene::testing

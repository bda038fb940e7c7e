// Bulk and control transfers of LibUsbDevice over the libusb stand-in: the
// packet-buffered read, the zero-length-packet rule of the write, the
// GET_STATUS requests, the per-endpoint controls and the refused calls.
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "device/usb/libusb_device.h"
#include "tests/usb/allocation_counter.h"
#include "tests/usb/standin_test.h"

namespace korvene::testing {
namespace {

using ::testing::IsEmpty;
using C = LibUsbCall;
using testing::operator<<;  // table rows print as their names

constexpr uint8_t kOut = 0x01;
constexpr uint8_t kIn = 0x81;
constexpr uint32_t kUntouched = 0xDEADBEEF;

// A key with 64-byte bulk endpoints, opened; zero-length packets on both
// endpoints when asked for, as the session has them.
class OpenKey : public StandinTest {
protected:
    void openKey(bool zlp, uint16_t maxPacketSize = 64) {
        key = usb.addDevice(keyDeviceSpec(maxPacketSize));
        ASSERT_EQ(device.openWithStatus(usb.device(key), 0), UsbOpenResult::Ok);
        if (zlp) {
            ASSERT_TRUE(device.enableZeroLengthPackets(kOut));
            ASSERT_TRUE(device.enableZeroLengthPackets(kIn));
        }
        usb.clearLog();
    }

    void TearDown() override {
        device.close();
        StandinTest::TearDown();
    }

    // Bytes 1, 2, 3, ... split into packets of the given sizes.
    std::vector<uint8_t> queuePackets(const std::vector<size_t>& sizes) {
        std::vector<uint8_t> stream;
        for (size_t size : sizes) {
            std::vector<uint8_t> packet;
            for (size_t i = 0; i < size; ++i) {
                packet.push_back(static_cast<uint8_t>(stream.size() + 1));
                stream.push_back(packet.back());
            }
            usb.queueInPacket(key, kIn, packet);
        }
        return stream;
    }

    // Bytes the key has handed over in all IN transfers so far.
    size_t bytesSentByKey() const {
        size_t sent = 0;
        for (const BulkTransferRecord& transfer : usb.bulkTransfers()) {
            if (transfer.endpoint == kIn) sent += static_cast<size_t>(transfer.transferred);
        }
        return sent;
    }

    std::vector<int> transferLengthsSince(size_t first) const {
        std::vector<int> lengths;
        const auto& transfers = usb.bulkTransfers();
        for (size_t i = first; i < transfers.size(); ++i) lengths.push_back(transfers[i].length);
        return lengths;
    }

    int key = -1;
    LibUsbDevice device;
};

// ---- bulkRead ---------------------------------------------------------------

struct Read {
    uint32_t length;
    uint32_t received;
    std::vector<int> transfers;  // lengths of the transfers this read asks for
    int failingTransfer = 0;     // this read's nth transfer fails, so the read must be false
};

struct ReadScenario {
    const char* name;
    bool zlp;
    std::vector<size_t> packets;  // what the key sends, packet by packet
    std::vector<Read> reads;
};

const ReadScenario kReadScenarios[] = {
    {"ResponseInOnePacketServesPayloadFromBuffer", true, {48}, {{8, 8, {64}}, {40, 40, {}}}},
    {"FullPacketUsedUpReadsTheZeroLengthPacketAtOnce", true, {64, 0, 8},
     {{8, 8, {64}}, {56, 56, {64}}, {8, 8, {64}}}},
    {"TwoFullPacketsGoStraightToCallerThenZeroLengthPacket", true, {64, 64, 0},
     {{8, 8, {64}}, {120, 120, {64, 64}}}},
    {"PayloadEndingInShortPacketIsCopiedFromBuffer", true, {64, 36},
     {{8, 8, {64}}, {92, 92, {64}}}},
    {"RestOfShortPacketStaysBufferedForNextRead", true, {64, 40},
     {{8, 8, {64}}, {60, 60, {64}}, {36, 36, {}}}},
    {"LongReadOfShorterTransferEndsWithoutAnotherTransfer", true, {64, 64, 2},
     {{200, 130, {192}}}},
    {"ZeroLengthPacketAloneIsAnEmptySuccess", true, {0}, {{8, 0, {64}}}},
    {"WithoutZlpFullPacketUsedUpMakesNoExtraRead", false, {64}, {{8, 8, {64}}, {56, 56, {}}}},
    {"WithoutZlpWholePacketReadMakesNoExtraRead", false, {64, 64}, {{128, 128, {128}}}},
    // Reads that split packets unevenly: every byte is delivered once, in order.
    {"WithoutZlpUnevenReadsNeverServeUsedBytesAgain", false, {64, 64, 8},
     {{8, 8, {64}}, {120, 120, {64}}, {8, 8, {64}}}},
    {"UnevenReadsKeepTheShortPacketAfterWholePacketsBuffered", true, {64, 64, 8},
     {{8, 8, {64}}, {120, 120, {64, 64}}, {8, 8, {}}}},
    {"ReadsSpanningShortPacketsTakeTheBufferedRestFirst", true, {64, 10, 8},
     {{8, 8, {64}}, {60, 60, {64}}, {8, 8, {64}}, {6, 6, {}}}},
    {"SmallReadsFromAFullPacketAdvanceUntilItIsUsedUp", true, {64, 0},
     {{8, 8, {64}}, {50, 50, {}}, {6, 6, {64}}}},
    {"ShortTransferAfterTheBufferedRestLeavesNothingToServeAgain", true, {64, 64, 2, 8},
     {{8, 8, {64}}, {200, 122, {128}}, {8, 8, {64}}}},
    // A failed read drops what was buffered: the next read transfers and gets
    // the key's next bytes.
    {"FailedWholePacketTransferLeavesNothingBuffered", true, {64, 64, 0},
     {{8, 8, {64}}, {120, 0, {64}, 1}, {8, 8, {64}}, {56, 56, {64}}}},
    {"FailedPacketReadAfterCopyingTheRestLeavesNothingBuffered", true, {64, 10},
     {{8, 8, {64}}, {60, 0, {64}, 1}, {8, 8, {64}}, {2, 2, {}}}},
};

class UsbBulkRead : public OpenKey, public ::testing::WithParamInterface<ReadScenario> {};

TEST_P(UsbBulkRead, DeliversTheKeysBytesWithExactlyTheTransfersNeeded) {
    const ReadScenario& scenario = GetParam();
    openKey(scenario.zlp);
    const std::vector<uint8_t> stream = queuePackets(scenario.packets);

    size_t delivered = 0;
    for (size_t r = 0; r < scenario.reads.size(); ++r) {
        const Read& read = scenario.reads[r];
        SCOPED_TRACE("read " + std::to_string(r + 1) + " of " + std::to_string(read.length));
        constexpr size_t kGuard = 16;
        std::vector<uint8_t> buffer(read.length + kGuard, 0xEE);
        uint32_t received = kUntouched;
        const size_t before = usb.bulkTransfers().size();
        if (read.failingTransfer > 0) {
            usb.failCall(C::BulkTransfer, LIBUSB_ERROR_IO, read.failingTransfer);
        }

        const bool ok = device.bulkRead(0, buffer.data(), read.length, &received);
        EXPECT_EQ(transferLengthsSince(before), read.transfers);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + read.length, buffer.end()),
                  std::vector<uint8_t>(kGuard, 0xEE))
            << "wrote beyond the length asked for";
        if (read.failingTransfer > 0) {
            EXPECT_FALSE(ok);
            // Nothing unread may stay buffered: the next byte delivered is the
            // first one the key has not sent yet.
            delivered = bytesSentByKey();
            continue;
        }
        ASSERT_TRUE(ok);
        EXPECT_EQ(received, read.received);
        ASSERT_LE(delivered + received, stream.size());
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + received),
                  std::vector<uint8_t>(stream.begin() + static_cast<long>(delivered),
                                       stream.begin() + static_cast<long>(delivered + received)))
            << "not the key's bytes in order, each once";
        delivered += received;
    }
    EXPECT_EQ(delivered, stream.size());
    EXPECT_EQ(usb.pendingInPackets(key, kIn), 0u);
    for (const BulkTransferRecord& transfer : usb.bulkTransfers()) {
        EXPECT_EQ(transfer.endpoint, kIn);
        EXPECT_EQ(transfer.timeout, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Packets, UsbBulkRead, ::testing::ValuesIn(kReadScenarios), RowName());

class UsbBulkReadFailure : public OpenKey {};

TEST_F(UsbBulkReadFailure, LibusbErrorIsFalseAndLeavesNothingBuffered) {
    openKey(true);
    queuePackets({64, 20});
    uint8_t data[64];
    uint32_t received = 0;
    ASSERT_TRUE(device.bulkRead(0, data, 8, &received));

    // The 56-byte read uses up the packet; its read of the next packet fails.
    usb.failCall(C::BulkTransfer, LIBUSB_ERROR_PIPE);
    EXPECT_FALSE(device.bulkRead(0, data, 56, &received));

    // Nothing of the first packet is served again: the next read transfers.
    const size_t before = usb.bulkTransfers().size();
    ASSERT_TRUE(device.bulkRead(0, data, 8, &received));
    EXPECT_EQ(usb.bulkTransfers().size(), before + 1);
    EXPECT_EQ(received, 8u);
    EXPECT_EQ(data[0], 65) << "not the first byte of the second packet";
}

TEST_F(UsbBulkReadFailure, ErrorOfTheWholePacketTransferIsFalse) {
    openKey(true);
    uint8_t data[128];
    uint32_t received = 0;
    usb.failCall(C::BulkTransfer, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(device.bulkRead(0, data, sizeof data, &received));
    EXPECT_EQ(transferLengthsSince(0), (std::vector<int>{128}));
}

// ---- bulkWrite --------------------------------------------------------------

struct WriteCase {
    const char* name;
    bool zlp;
    uint32_t length;
    bool nullData;
    int shortTo;    // the data transfer moves only this many bytes; -1: all
    int failNth;    // this transfer fails with LIBUSB_ERROR_IO; 0: none
    bool result;
    std::vector<int> transfers;
};

const WriteCase kWrites[] = {
    {"OnePacketEndsWithZeroLengthPacket", true, 64, false, -1, 0, true, {64, 0}},
    {"TwoPacketsEndWithZeroLengthPacket", true, 128, false, -1, 0, true, {128, 0}},
    {"PartPacketNeedsNoZeroLengthPacket", true, 72, false, -1, 0, true, {72}},
    {"ZlpClearNeverAddsZeroLengthPacket", false, 64, false, -1, 0, true, {64}},
    {"ZeroBytesIsOneZeroLengthTransfer", true, 0, false, -1, 0, true, {0}},
    {"NullDataWithZeroLengthIsAccepted", true, 0, true, -1, 0, true, {0}},
    {"ShortTransferFailsWithoutZeroLengthPacket", true, 64, false, 32, 0, false, {64}},
    {"FailedTransferFailsWithoutZeroLengthPacket", true, 64, false, -1, 1, false, {64}},
    {"FailedZeroLengthPacketFails", true, 64, false, -1, 2, false, {64, 0}},
};

class UsbBulkWrite : public OpenKey, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(UsbBulkWrite, SendsTheBytesAndAZeroLengthPacketOnlyAfterWholePackets) {
    const WriteCase& row = GetParam();
    openKey(row.zlp);
    std::vector<uint8_t> data(row.length);
    std::iota(data.begin(), data.end(), uint8_t{1});
    if (row.shortTo >= 0) usb.shortenOutTransfer(row.shortTo);
    if (row.failNth > 0) usb.failCall(C::BulkTransfer, LIBUSB_ERROR_IO, row.failNth);

    EXPECT_EQ(device.bulkWrite(0, row.nullData ? nullptr : data.data(), row.length), row.result);

    EXPECT_EQ(transferLengthsSince(0), row.transfers);
    const auto& transfers = usb.bulkTransfers();
    ASSERT_FALSE(transfers.empty());
    EXPECT_EQ(transfers[0].data, data);
    for (const BulkTransferRecord& transfer : transfers) {
        EXPECT_EQ(transfer.endpoint, kOut);
        EXPECT_EQ(transfer.timeout, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Writes, UsbBulkWrite, ::testing::ValuesIn(kWrites), RowName());

// ---- calls refused without touching libusb ----------------------------------

enum class DeviceState { Open, Closed, FailedOpen, ZeroPacketSize };

struct Refusal {
    const char* name;
    DeviceState state;
    std::function<bool(LibUsbDevice&, uint32_t*)> call;
};

uint8_t scratch[256];

const Refusal kRefusals[] = {
    {"ReadIndexBeyondList", DeviceState::Open,
     [](LibUsbDevice& d, uint32_t* r) { return d.bulkRead(1, scratch, 8, r); }},
    {"ReadNullData", DeviceState::Open,
     [](LibUsbDevice& d, uint32_t* r) { return d.bulkRead(0, nullptr, 8, r); }},
    {"ReadZeroLength", DeviceState::Open,
     [](LibUsbDevice& d, uint32_t* r) { return d.bulkRead(0, scratch, 0, r); }},
    {"ReadNullReceived", DeviceState::Open,
     [](LibUsbDevice& d, uint32_t*) { return d.bulkRead(0, scratch, 8, nullptr); }},
    {"ReadLongerThanLibusbTakes", DeviceState::Open,
     [](LibUsbDevice& d, uint32_t* r) { return d.bulkRead(0, scratch, 0x80000000u, r); }},
    {"WriteIndexBeyondList", DeviceState::Open,
     [](LibUsbDevice& d, uint32_t*) { return d.bulkWrite(1, scratch, 8); }},
    {"WriteNullDataWithLength", DeviceState::Open,
     [](LibUsbDevice& d, uint32_t*) { return d.bulkWrite(0, nullptr, 8); }},
    {"WriteLongerThanLibusbTakes", DeviceState::Open,
     [](LibUsbDevice& d, uint32_t*) { return d.bulkWrite(0, scratch, 0x80000000u); }},
    {"ControlNullDataWithLength", DeviceState::Open,
     [](LibUsbDevice& d, uint32_t*) { return d.controlTransfer(0xC1, 1, 0, 0, 4, nullptr); }},
    {"ReadOnClosedDevice", DeviceState::Closed,
     [](LibUsbDevice& d, uint32_t* r) { return d.bulkRead(0, scratch, 8, r); }},
    {"WriteOnClosedDevice", DeviceState::Closed,
     [](LibUsbDevice& d, uint32_t*) { return d.bulkWrite(0, scratch, 8); }},
    {"ControlOnClosedDevice", DeviceState::Closed,
     [](LibUsbDevice& d, uint32_t*) { return d.controlTransfer(0x21, 0, 0, 0, 0, nullptr); }},
    {"DeviceStatusOnClosedDevice", DeviceState::Closed,
     [](LibUsbDevice& d, uint32_t*) { return d.getUsbDeviceStatus(scratch); }},
    {"HaltQueryOnClosedDevice", DeviceState::Closed,
     [](LibUsbDevice& d, uint32_t*) { return d.isEndpointHalted(kIn); }},
    {"ClearHaltOnClosedDevice", DeviceState::Closed,
     [](LibUsbDevice& d, uint32_t*) { return d.clearHalt(kIn); }},
    {"ReadAfterFailedOpen", DeviceState::FailedOpen,
     [](LibUsbDevice& d, uint32_t* r) { return d.bulkRead(0, scratch, 8, r); }},
    {"WriteAfterFailedOpen", DeviceState::FailedOpen,
     [](LibUsbDevice& d, uint32_t*) { return d.bulkWrite(0, scratch, 8); }},
    {"ClearHaltAfterFailedOpen", DeviceState::FailedOpen,
     [](LibUsbDevice& d, uint32_t*) { return d.clearHalt(kOut); }},
    {"ReadOnZeroPacketSizeEndpoint", DeviceState::ZeroPacketSize,
     [](LibUsbDevice& d, uint32_t* r) { return d.bulkRead(0, scratch, 8, r); }},
    {"WriteOnZeroPacketSizeEndpoint", DeviceState::ZeroPacketSize,
     [](LibUsbDevice& d, uint32_t*) { return d.bulkWrite(0, scratch, 8); }},
    {"ZeroByteWriteOnZeroPacketSizeEndpoint", DeviceState::ZeroPacketSize,
     [](LibUsbDevice& d, uint32_t*) { return d.bulkWrite(0, scratch, 0); }},
};

class UsbRefusedCall : public OpenKey, public ::testing::WithParamInterface<Refusal> {};

TEST_P(UsbRefusedCall, IsFalseWithoutAnyLibusbCall) {
    switch (GetParam().state) {
        case DeviceState::Open:
            openKey(true);
            break;
        case DeviceState::Closed:
            openKey(true);
            device.close();
            break;
        case DeviceState::FailedOpen:
            // The lists keep the endpoints the walk found, while no handle is held.
            key = usb.addDevice(keyDeviceSpec());
            usb.failCall(C::Open, LIBUSB_ERROR_ACCESS);
            ASSERT_EQ(device.openWithStatus(usb.device(key), 1), UsbOpenResult::AccessDenied);
            ASSERT_EQ(device.inEndpointCount(), 1u);
            break;
        case DeviceState::ZeroPacketSize:
            openKey(true, 0);
            break;
    }
    usb.queueInPacket(key, kIn, std::vector<uint8_t>(8, 0x55));
    usb.clearLog();
    uint32_t received = kUntouched;

    EXPECT_FALSE(GetParam().call(device, &received));
    EXPECT_THAT(usb.callSequence(), IsEmpty());
    EXPECT_EQ(received, kUntouched);
}

INSTANTIATE_TEST_SUITE_P(Calls, UsbRefusedCall, ::testing::ValuesIn(kRefusals), RowName());

// ---- discardInput -----------------------------------------------------------

class UsbDiscardInput : public OpenKey {};

TEST_F(UsbDiscardInput, DropsBufferedBytesSoTheNextReadTransfers) {
    openKey(true);
    queuePackets({48, 16});
    uint8_t data[8];
    uint32_t received = 0;
    ASSERT_TRUE(device.bulkRead(0, data, 8, &received));

    EXPECT_TRUE(device.discardInput(kIn));
    ASSERT_TRUE(device.bulkRead(0, data, 8, &received));
    EXPECT_EQ(usb.bulkTransfers().size(), 2u);
    EXPECT_EQ(data[0], 49) << "not the first byte of the second packet";
}

TEST_F(UsbDiscardInput, OutOrUnknownAddressIsTrueAndKeepsTheBuffer) {
    openKey(true);
    queuePackets({48});
    uint8_t data[8];
    uint32_t received = 0;
    ASSERT_TRUE(device.bulkRead(0, data, 8, &received));

    EXPECT_TRUE(device.discardInput(kOut));
    EXPECT_TRUE(device.discardInput(0x82));
    EXPECT_TRUE(device.clearHalt(kIn)) << "clearing a halt must not touch the buffer either";
    ASSERT_TRUE(device.bulkRead(0, data, 8, &received));
    EXPECT_EQ(data[0], 9);
    EXPECT_EQ(usb.bulkTransfers().size(), 1u);

    device.close();
    EXPECT_TRUE(device.discardInput(kIn)) << "also true on a closed device";
}

// ---- control transfers and GET_STATUS ---------------------------------------

class UsbControl : public OpenKey {};

TEST_F(UsbControl, PassesTheSetupWithFiveSecondLimitAndIsTrueOnlyForTheFullLength) {
    const struct {
        int result;
        uint16_t length;
        bool ok;
    } rows[] = {
        {4, 4, true}, {3, 4, false}, {LIBUSB_ERROR_PIPE, 4, false},
        {LIBUSB_ERROR_TIMEOUT, 4, false}, {0, 0, true},
    };
    openKey(true);
    for (const auto& row : rows) {
        SCOPED_TRACE("libusb result " + std::to_string(row.result));
        usb.clearLog();
        usb.queueControlReply(row.result, {1, 2, 3, 4});
        uint8_t data[4] = {};
        EXPECT_EQ(device.controlTransfer(0xA1, 0x05, 0x0102, 0x0304, row.length, data), row.ok);
        ASSERT_EQ(usb.controlTransfers().size(), 1u);
        const ControlTransferRecord& sent = usb.controlTransfers()[0];
        EXPECT_EQ(sent.requestType, 0xA1);
        EXPECT_EQ(sent.request, 0x05);
        EXPECT_EQ(sent.value, 0x0102);
        EXPECT_EQ(sent.index, 0x0304);
        EXPECT_EQ(sent.length, row.length);
        EXPECT_EQ(sent.timeout, 5000u);
    }
}

TEST_F(UsbControl, GetStatusRequestsAddressDeviceInterfaceAndEndpoint) {
    const struct {
        const char* name;
        std::function<bool(LibUsbDevice&, uint8_t*)> request;
        uint8_t requestType;
        uint16_t index;
    } rows[] = {
        {"device", [](LibUsbDevice& d, uint8_t* s) { return d.getUsbDeviceStatus(s); }, 0x80, 0},
        {"interface", [](LibUsbDevice& d, uint8_t* s) { return d.getInterfaceStatus(3, s); },
         0x81, 3},
        {"endpoint", [](LibUsbDevice& d, uint8_t* s) { return d.getEndpointStatus(kIn, s); },
         0x82, kIn},
    };
    openKey(true);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        usb.clearLog();
        usb.queueControlReply(2, {0x01, 0x02});
        uint8_t status[2] = {};
        EXPECT_TRUE(row.request(device, status));
        EXPECT_EQ(status[0], 0x01);
        EXPECT_EQ(status[1], 0x02);
        ASSERT_EQ(usb.controlTransfers().size(), 1u);
        const ControlTransferRecord& sent = usb.controlTransfers()[0];
        EXPECT_EQ(sent.requestType, row.requestType);
        EXPECT_EQ(sent.request, 0);
        EXPECT_EQ(sent.value, 0);
        EXPECT_EQ(sent.index, row.index);
        EXPECT_EQ(sent.length, 2);
    }
}

TEST_F(UsbControl, EndpointIsHaltedOnlyWhenTwoStatusBytesCameWithBitZeroSet) {
    const struct {
        int result;
        std::vector<uint8_t> status;
        bool halted;
    } rows[] = {
        {2, {0x01, 0x00}, true},  {2, {0x00, 0x00}, false}, {2, {0xFE, 0xFF}, false},
        {1, {0x01}, false},       {LIBUSB_ERROR_PIPE, {}, false},
    };
    openKey(true);
    for (const auto& row : rows) {
        SCOPED_TRACE("libusb result " + std::to_string(row.result));
        usb.clearLog();
        usb.queueControlReply(row.result, row.status);
        EXPECT_EQ(device.isEndpointHalted(kOut), row.halted);
        ASSERT_EQ(usb.controlTransfers().size(), 1u);
        EXPECT_EQ(usb.controlTransfers()[0].index, kOut);
    }
}

TEST_F(UsbControl, ClearHaltIsTrueExactlyWhenLibusbReportsNoError) {
    openKey(true);
    EXPECT_TRUE(device.clearHalt(kIn));
    usb.failCall(C::ClearHalt, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(device.clearHalt(kIn));
    ASSERT_EQ(usb.callSequence(), (std::vector<C>{C::ClearHalt, C::ClearHalt}));
    EXPECT_EQ(usb.calls()[0].argument, kIn);
}

// ---- per-endpoint settings --------------------------------------------------

class UsbEndpointSetting : public OpenKey {};

TEST_F(UsbEndpointSetting, UnknownAddressIsFalse) {
    openKey(false);
    for (const uint8_t address : {0x00, 0x02, 0x82, 0x01 | 0x80 | 0x40}) {
        EXPECT_FALSE(device.enableZeroLengthPackets(address)) << int{address};
        EXPECT_FALSE(device.setTimeout(address, 100)) << int{address};
    }
}

TEST_F(UsbEndpointSetting, ZeroLengthPacketsAreEnabledPerEndpoint) {
    openKey(false);
    const uint8_t packet[64] = {};
    ASSERT_TRUE(device.bulkWrite(0, packet, 64));
    EXPECT_TRUE(device.enableZeroLengthPackets(kOut));
    ASSERT_TRUE(device.bulkWrite(0, packet, 64));
    EXPECT_EQ(transferLengthsSince(0), (std::vector<int>{64, 64, 0}));
    EXPECT_EQ(device.inEndpointRecords()[0].zlp, 0) << "the IN endpoint was switched too";
}

TEST_F(UsbEndpointSetting, TimeoutBoundsEveryBulkTransferOfItsEndpointAndATimeoutIsFalse) {
    openKey(true);
    ASSERT_TRUE(device.setTimeout(kOut, 1500));
    ASSERT_TRUE(device.setTimeout(kIn, 2500));
    const uint8_t request[64] = {};
    ASSERT_TRUE(device.bulkWrite(0, request, 64));
    queuePackets({64, 64, 0});
    uint8_t response[200];
    uint32_t received = 0;
    ASSERT_TRUE(device.bulkRead(0, response, 8, &received));
    ASSERT_TRUE(device.bulkRead(0, response, 120, &received));
    ASSERT_EQ(usb.bulkTransfers().size(), 5u);
    for (const BulkTransferRecord& transfer : usb.bulkTransfers()) {
        EXPECT_EQ(transfer.timeout, transfer.endpoint == kOut ? 1500u : 2500u)
            << "endpoint " << int{transfer.endpoint};
    }

    // Nothing queued: the stand-in's transfer times out, as a silent key's would.
    EXPECT_FALSE(device.bulkRead(0, response, 8, &received));
    EXPECT_EQ(usb.bulkTransfers().back().result, LIBUSB_ERROR_TIMEOUT);
    usb.failCall(C::BulkTransfer, LIBUSB_ERROR_TIMEOUT);
    EXPECT_FALSE(device.bulkWrite(0, request, 8));
}

// ---- no allocation on the transfer paths ------------------------------------

class UsbTransferAllocation : public OpenKey {};

TEST_F(UsbTransferAllocation, ReadsWritesAndControlTransfersAllocateNothing) {
    openKey(true);
    usb.recordOutData(false);
    queuePackets({48, 64, 0, 64, 64, 0, 64, 36, 64, 64, 2});
    uint8_t data[256] = {};
    uint32_t received = 0;
    uint8_t status[2] = {};
    bool ok = true;
    size_t allocations = 0;
    {
        AllocationCounter counter;
        const uint32_t reads[] = {8, 40, 8, 56, 8, 120, 8, 92, 200};
        for (const uint32_t length : reads) ok = device.bulkRead(0, data, length, &received) && ok;
        ok = device.bulkWrite(0, data, 64) && ok;
        ok = device.bulkWrite(0, data, 72) && ok;
        ok = device.getEndpointStatus(kIn, status) && ok;
        ok = !device.isEndpointHalted(kIn) && ok;
        ok = device.clearHalt(kIn) && ok;
        ok = device.discardInput(kIn) && ok;
        allocations = counter.count();
    }
    EXPECT_TRUE(ok);
    EXPECT_EQ(received, 130u);
    EXPECT_EQ(allocations, 0u);
}

}  // namespace
}  // namespace korvene::testing

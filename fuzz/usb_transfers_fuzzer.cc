// LibUsbDevice's packet-buffered bulkRead and its bulkWrite with the
// zero-length-packet rule, over the libusb stand-in: any packet sizes and
// counts, zero-length packets, any maxPacketSize, failing and short transfers,
// dropped input and an unplugged key, in any order.
//
// Input: the endpoints' maxPacketSize and the zero-length-packet setting, then
// a list of operations. Every byte the key sends is the next value of a
// counter (mod 251), so the bytes delivered show where in the stream they
// came from.
//
// Invariants: `received` is never above the length asked for; nothing is
// written beyond `length` (a guard region behind the buffer, and the address
// sanitizer beyond it); bytes come exactly in stream order, and are skipped
// only when a transfer failed or input was dropped (then up to the next
// packet the stand-in has not handed out); a read that succeeds saw no failed
// transfer; every read
// transfer asks for whole packets; a true write moved all its bytes and then
// a zero-length packet exactly when the rule asks for one; every false has a
// cause; the packet buffer keeps position <= available <= maxPacketSize.
#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "device/usb/libusb_device.h"
#include "fuzz/fuzz_script.h"
#include "fuzz/harness_support.h"
#include "tests/doubles/libusb_standin/libusb_standin.h"

namespace {

using korvene::LibUsbDevice;
using korvene::UsbOpenResult;
using korvene::testing::BulkTransferRecord;
using korvene::testing::FuzzScript;
using korvene::testing::LibUsbCall;
using korvene::testing::LibUsbStandin;

constexpr uint8_t kOut = 0x01;
constexpr uint8_t kIn = 0x81;
constexpr size_t kMaxOperations = 200;
constexpr size_t kGuardSize = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr uint32_t kUntouched = 0xFFFFFFFF;
constexpr int kFailureCodes[] = {LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_PIPE, LIBUSB_ERROR_NO_DEVICE,
                                 LIBUSB_ERROR_OVERFLOW, LIBUSB_ERROR_IO};

uint16_t chooseMaxPacketSize(FuzzScript& script) {
    switch (script.byte() % 6) {
        case 0: return 64;
        case 1: return 8;
        case 2: return 512;
        case 3: return 0;
        case 4: return 1;
        default: return script.u16();  // any wMaxPacketSize, bandwidth bits and all
    }
}

// Mostly endpoint index 0; now and then one beyond the list.
uint32_t chooseIndex(FuzzScript& script) {
    const uint8_t choice = script.byte();
    return choice < 250 ? 0 : static_cast<uint32_t>(choice - 249);
}

class TransferRun {
public:
    TransferRun(FuzzScript& script, LibUsbStandin& usb) : script(script), usb(usb) {}

    void run() {
        maxPacketSize = chooseMaxPacketSize(script);
        const bool zlp = script.byte() % 2 == 0;  // as the session has it
        key = usb.addDevice(korvene::testing::keyDeviceSpec(maxPacketSize));
        if (device.openWithStatus(usb.device(key), 0) != UsbOpenResult::Ok) return;
        if (zlp) {
            KORVENE_FUZZ_CHECK(device.enableZeroLengthPackets(kOut));
            KORVENE_FUZZ_CHECK(device.enableZeroLengthPackets(kIn));
        }
        zeroLengthPackets = zlp;

        for (size_t i = 0; i < kMaxOperations && !script.exhausted(); ++i) {
            usb.clearLog();
            operate(script.byte() % 9);
            checkTransfersAskedForWholePackets();
            checkPacketBuffer();
        }
        device.close();
        KORVENE_FUZZ_CHECK(usb.misuses().empty());
    }

private:
    void operate(uint8_t operation) {
        switch (operation) {
            case 0: queuePacket(maxPacketSize > 0 ? script.u16() % (2 * maxPacketSize + 1) : script.u16() % 130); break;
            case 1: queuePacket(maxPacketSize); break;
            case 2: read(chooseIndex(script), script.u16() % (4u * maxPacketSize + 9)); break;
            case 3: write(chooseIndex(script), script.u16() % (3u * maxPacketSize + 9)); break;
            case 4: {
                const int code = kFailureCodes[script.byte() % std::size(kFailureCodes)];
                usb.failCall(LibUsbCall::BulkTransfer, code, 1 + script.byte() % 3);
                break;
            }
            case 5: usb.shortenOutTransfer(script.byte()); break;
            case 6: {
                const uint8_t choice = script.byte();
                const uint8_t address = choice % 3 == 0 ? kIn : choice % 3 == 1 ? kOut : choice;
                KORVENE_FUZZ_CHECK(device.discardInput(address));
                if (address == kIn) skipToNextPacket();
                break;
            }
            case 7: read(0, 1 + script.u32() % 70000); break;
            default:
                if (script.byte() == 0xFF) {
                    usb.unplug(key);
                    unplugged = true;
                }
                break;
        }
    }

    void queuePacket(size_t size) {
        packetStarts.push_back(stream.size());
        std::vector<uint8_t> packet(size);
        for (uint8_t& byte : packet) {
            byte = static_cast<uint8_t>(stream.size() % 251);
            stream.push_back(byte);
        }
        usb.queueInPacket(key, kIn, std::move(packet));
    }

    bool anyTransferFailed(bool in) const {
        for (const BulkTransferRecord& record : usb.bulkTransfers()) {
            const bool isIn = (record.endpoint & LIBUSB_ENDPOINT_IN) != 0;
            if (isIn != in) continue;
            if (record.result < 0 || (!in && record.transferred < record.length)) return true;
        }
        return false;
    }

    void read(uint32_t index, uint32_t length) {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[length + kGuardSize]);
        std::memset(buffer.get(), kGuardByte, length + kGuardSize);
        uint32_t received = kUntouched;
        const bool ok = device.bulkRead(index, buffer.get(), length, &received);

        for (size_t i = length; i < length + kGuardSize; ++i) KORVENE_FUZZ_CHECK(buffer[i] == kGuardByte);
        const bool failedTransfer = anyTransferFailed(true);
        if (failedTransfer) {
            KORVENE_FUZZ_CHECK(!ok);
            skipToNextPacket();
        }
        if (!ok) {
            KORVENE_FUZZ_CHECK(index != 0 || length == 0 || maxPacketSize == 0 || unplugged || failedTransfer);
            return;
        }
        KORVENE_FUZZ_CHECK(index == 0 && length > 0 && maxPacketSize > 0);
        KORVENE_FUZZ_CHECK(received != kUntouched && received <= length);
        checkDelivered(buffer.get(), received);
    }

    // The bytes continue the stream exactly.
    void checkDelivered(const uint8_t* bytes, uint32_t count) {
        KORVENE_FUZZ_CHECK(cursor + count <= stream.size());
        KORVENE_FUZZ_CHECK(count == 0 || std::memcmp(bytes, stream.data() + cursor, count) == 0);
        cursor += count;
    }

    // After a failed IN transfer, or input dropped, the transport holds
    // nothing, and the stand-in hands out whole packets: the next byte
    // delivered is the first of the first packet not yet taken.
    void skipToNextPacket() {
        const size_t taken = packetStarts.size() - usb.pendingInPackets(key, kIn);
        cursor = taken < packetStarts.size() ? packetStarts[taken] : stream.size();
    }

    void write(uint32_t index, uint32_t length) {
        std::unique_ptr<uint8_t[]> data(length > 0 ? new uint8_t[length] : nullptr);
        for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 13 + 7);
        const bool ok = device.bulkWrite(index, data.get(), length);

        const std::vector<BulkTransferRecord>& records = usb.bulkTransfers();
        if (!ok) {
            KORVENE_FUZZ_CHECK(index != 0 || maxPacketSize == 0 || unplugged || anyTransferFailed(false));
            return;
        }
        KORVENE_FUZZ_CHECK(index == 0 && maxPacketSize > 0);
        const bool endsWithZeroLengthPacket =
            zeroLengthPackets && length > 0 && length % maxPacketSize == 0;
        KORVENE_FUZZ_CHECK(records.size() == (endsWithZeroLengthPacket ? 2u : 1u));
        KORVENE_FUZZ_CHECK(records[0].endpoint == kOut && records[0].result == 0);
        KORVENE_FUZZ_CHECK(records[0].length == static_cast<int>(length));
        KORVENE_FUZZ_CHECK(records[0].transferred == static_cast<int>(length));
        KORVENE_FUZZ_CHECK(length == 0 || std::memcmp(records[0].data.data(), data.get(), length) == 0);
        if (endsWithZeroLengthPacket) KORVENE_FUZZ_CHECK(records[1].length == 0 && records[1].result == 0);
    }

    void checkTransfersAskedForWholePackets() const {
        for (const BulkTransferRecord& record : usb.bulkTransfers()) {
            if ((record.endpoint & LIBUSB_ENDPOINT_IN) == 0) continue;
            KORVENE_FUZZ_CHECK(maxPacketSize > 0 && record.length > 0 && record.length % maxPacketSize == 0);
        }
    }

    void checkPacketBuffer() const {
        for (const korvene::UsbInEndpoint& endpoint : device.inEndpointRecords()) {
            KORVENE_FUZZ_CHECK(endpoint.position <= endpoint.available);
            KORVENE_FUZZ_CHECK(endpoint.available <= endpoint.maxPacketSize);
            KORVENE_FUZZ_CHECK(endpoint.buffer.size() == endpoint.maxPacketSize);
        }
    }

    FuzzScript& script;
    LibUsbStandin& usb;
    LibUsbDevice device;
    int key = -1;
    uint16_t maxPacketSize = 0;
    bool zeroLengthPackets = false;
    bool unplugged = false;
    std::vector<uint8_t> stream;       // every byte queued, in order
    std::vector<size_t> packetStarts;  // where each queued packet begins in it
    size_t cursor = 0;                 // the next byte the transport must deliver
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LibUsbStandin& usb = LibUsbStandin::instance();
    usb.reset();
    FuzzScript script(data, size);
    TransferRun(script, usb).run();
    return 0;
}

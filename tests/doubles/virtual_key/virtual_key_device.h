#pragma once

// The in-process front door of the virtual key: a KvUsbDevice whose bulk and
// control transfers go straight to a VirtualKey. Bulk writes on the first OUT
// endpoint hand each transfer to the model whole; bulk reads on the first IN
// endpoint serve the model's queued answers as one byte stream. A read that
// finds nothing queued fails at once, as a timed-out transfer does.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "device/usb/kv_usb_device.h"
#include "tests/doubles/usb_requests.h"
#include "tests/doubles/virtual_key/virtual_key.h"

namespace korvene::testing {

class VirtualKeyDevice final : public StandardRequestsDevice {
public:
    // Transport faults, counted over the calls of this device.
    struct Knobs {
        int failBulkWrite = 0;  // 1-based number of the bulkWrite call that fails; 0: none
        int failBulkRead = 0;   // 1-based number of the bulkRead call that fails; 0: none
    };

    // Made open, with the key's endpoints (64-byte packets, zlp off, no timeout).
    explicit VirtualKeyDevice(VirtualKey& key);

    Knobs knobs;
    // Called with the transfer at the start of every bulkWrite, before it can
    // reach the key: a test looks there at what the host has done so far.
    std::function<void(const uint8_t* data, uint32_t length)> beforeBulkWrite;

    // Records.
    size_t bulkWrites() const { return writeCalls; }
    size_t bulkReads() const { return readCalls; }
    // The timeout setTimeout gave the endpoint at `address` (0: none set).
    uint32_t timeoutOf(uint8_t address) const;
    bool zeroLengthPacketsEnabled(uint8_t address) const;
    // Reads that found nothing to deliver on an endpoint without a timeout: on
    // a real device each would have waited for ever.
    size_t unboundedWaits() const { return unboundedWaitCount; }
    // Bytes fetched from the key and not yet delivered.
    size_t bufferedInput() const { return input.size(); }

    void close() override;
    bool isOpen() const override { return opened; }
    size_t outEndpointCount() const override { return outEndpoints.size(); }
    size_t inEndpointCount() const override { return inEndpoints.size(); }
    uint8_t outEndpointAddress(uint32_t index) const override;
    uint8_t inEndpointAddress(uint32_t index) const override;
    bool enableZeroLengthPackets(uint8_t address) override;
    bool setTimeout(uint8_t address, uint32_t milliseconds) override;
    bool controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                         uint8_t* data) override;
    bool bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) override;
    bool bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) override;
    bool discardInput(uint8_t address) override;
    bool clearHalt(uint8_t address) override;
    // Reopens on the key's endpoints whatever `device` is: there is no libusb here.
    bool open(libusb_device* device, uint8_t zlp) override;
    UsbOpenResult openWithStatus(libusb_device* device, uint8_t zlp) override;

private:
    struct Endpoint {
        uint8_t address = 0;
        bool zlp = false;
        uint32_t timeout = 0;
    };

    Endpoint* find(uint8_t address);
    const Endpoint* find(uint8_t address) const;

    VirtualKey& key;
    bool opened = false;
    std::vector<Endpoint> outEndpoints;
    std::vector<Endpoint> inEndpoints;
    std::deque<uint8_t> input;
    size_t writeCalls = 0;
    size_t readCalls = 0;
    size_t unboundedWaitCount = 0;
};

}  // namespace korvene::testing

#pragma once

// A KvUsbDevice that owns another one and hands every call on to it unchanged.
// Tests and benchmarks derive from it to watch a few calls (time them, count
// them, open a measuring window) and leave the rest alone.

#include <memory>

#include "device/usb/kv_usb_device.h"

namespace korvene::testing {

class ForwardingUsbDevice : public KvUsbDevice {
public:
    explicit ForwardingUsbDevice(std::unique_ptr<KvUsbDevice> inner);

    void close() override;
    bool isOpen() const override;
    size_t outEndpointCount() const override;
    size_t inEndpointCount() const override;
    uint8_t outEndpointAddress(uint32_t index) const override;
    uint8_t inEndpointAddress(uint32_t index) const override;
    bool enableZeroLengthPackets(uint8_t address) override;
    bool setTimeout(uint8_t address, uint32_t milliseconds) override;
    bool controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                         uint8_t* data) override;
    bool bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) override;
    bool bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) override;
    bool isEndpointHalted(uint8_t address) override;
    bool discardInput(uint8_t address) override;
    bool clearHalt(uint8_t address) override;
    bool open(libusb_device* device, uint8_t zlp) override;
    UsbOpenResult openWithStatus(libusb_device* device, uint8_t zlp) override;
    bool getEndpointStatus(uint8_t endpoint, uint8_t* status) override;
    bool getInterfaceStatus(uint8_t interfaceNumber, uint8_t* status) override;
    bool getUsbDeviceStatus(uint8_t* status) override;

protected:
    KvUsbDevice& inner() const { return *device; }

private:
    std::unique_ptr<KvUsbDevice> device;
};

}  // namespace korvene::testing

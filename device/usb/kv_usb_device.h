#pragma once

#include <cstddef>
#include <cstdint>

#include "device/usb/usb_open_result.h"

struct libusb_device;

namespace korvene {

// One opened USB device as the key session sees it. Bulk transfers name an
// endpoint by its index in the device's list of bulk IN or OUT endpoints; the
// per-endpoint controls name it by its endpoint address. Failures are return
// values; only an endpoint index out of range (the address getters) and
// exhausted memory throw.
class KvUsbDevice {
public:
    virtual ~KvUsbDevice() {}

    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual size_t outEndpointCount() const = 0;
    virtual size_t inEndpointCount() const = 0;
    virtual uint8_t outEndpointAddress(uint32_t index) const = 0;
    virtual uint8_t inEndpointAddress(uint32_t index) const = 0;
    virtual bool enableZeroLengthPackets(uint8_t address) = 0;
    virtual bool setTimeout(uint8_t address, uint32_t milliseconds) = 0;
    virtual bool controlTransfer(uint8_t requestType, uint8_t request, uint16_t value,
                                 uint16_t index, uint16_t length, uint8_t* data) = 0;
    virtual bool bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) = 0;
    virtual bool bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length,
                          uint32_t* received) = 0;
    virtual bool isEndpointHalted(uint8_t address) = 0;
    virtual bool discardInput(uint8_t address) = 0;
    virtual bool clearHalt(uint8_t address) = 0;
    virtual bool open(libusb_device* device, uint8_t zlp) = 0;
    virtual UsbOpenResult openWithStatus(libusb_device* device, uint8_t zlp) = 0;
    virtual bool getEndpointStatus(uint8_t endpoint, uint8_t* status) = 0;
    virtual bool getInterfaceStatus(uint8_t interfaceNumber, uint8_t* status) = 0;
    virtual bool getUsbDeviceStatus(uint8_t* status) = 0;
};

}  // namespace korvene

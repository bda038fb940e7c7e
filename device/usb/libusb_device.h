#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/usb/kv_usb_device.h"
#include "device/usb/usb_open_result.h"

struct libusb_device;
struct libusb_device_handle;

namespace korvene {

// One bulk OUT endpoint of the claimed interface.
struct UsbOutEndpoint {
    uint8_t address = 0;         // bEndpointAddress, bit 7 clear
    uint8_t zlp = 0;             // non-zero: end a write of whole packets with a zero-length packet
    uint16_t maxPacketSize = 0;  // wMaxPacketSize as the descriptor gives it
    uint32_t timeout = 0;        // bulk transfer timeout in ms; 0 waits without limit
};

// One bulk IN endpoint of the claimed interface with its packet buffer.
// Invariant: position <= available <= maxPacketSize; the bytes from position
// up to available were received and not yet handed to a caller.
struct UsbInEndpoint {
    uint8_t address = 0;         // bEndpointAddress, bit 7 set
    uint8_t zlp = 0;             // non-zero: after using up a full packet, read the next at once
    uint16_t maxPacketSize = 0;  // wMaxPacketSize as the descriptor gives it
    uint16_t available = 0;      // bytes held in buffer
    uint16_t position = 0;       // bytes of those already handed out
    uint32_t timeout = 0;        // bulk transfer timeout in ms; 0 waits without limit
    std::vector<uint8_t> buffer; // one packet, maxPacketSize bytes, allocated once at open
};

// The libusb-1.0 implementation of KvUsbDevice: the first interface of the
// first configuration, alternate setting 0, and its bulk endpoints. Nothing
// here prints; every failure is a return value.
class LibUsbDevice : public KvUsbDevice {
public:
    LibUsbDevice() = default;
    ~LibUsbDevice() override;
    LibUsbDevice(const LibUsbDevice&) = delete;
    LibUsbDevice& operator=(const LibUsbDevice&) = delete;

    void close() override;
    bool isOpen() const override;
    size_t outEndpointCount() const override;
    size_t inEndpointCount() const override;
    uint8_t outEndpointAddress(uint32_t index) const override;
    uint8_t inEndpointAddress(uint32_t index) const override;
    bool enableZeroLengthPackets(uint8_t address) override;
    bool setTimeout(uint8_t address, uint32_t milliseconds) override;
    bool controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                         uint16_t length, uint8_t* data) override;
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

    // Read-only views of the endpoint records, for diagnostics and tests.
    const std::vector<UsbInEndpoint>& inEndpointRecords() const { return inEndpoints; }
    const std::vector<UsbOutEndpoint>& outEndpointRecords() const { return outEndpoints; }

private:
    // Fills the endpoint buffer with one packet; false on a libusb error.
    bool readPacket(UsbInEndpoint& endpoint);

    std::vector<UsbInEndpoint> inEndpoints;
    std::vector<UsbOutEndpoint> outEndpoints;
    libusb_device_handle* handle = nullptr;
    uint8_t interfaceNumber = 0;
};

}  // namespace korvene

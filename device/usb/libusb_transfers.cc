// Bulk and control transfers of LibUsbDevice and its per-endpoint controls.
// No path here allocates: reads go through the packet buffer that each IN
// endpoint got when the device was opened.
#include <libusb.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "device/usb/libusb_device.h"

namespace korvene {

namespace {

constexpr unsigned int kControlTimeoutMs = 5000;
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kToHostStandardDevice = 0x80;
constexpr uint8_t kToHostStandardInterface = 0x81;
constexpr uint8_t kToHostStandardEndpoint = 0x82;
constexpr uint8_t kEndpointHaltBit = 0x01;
constexpr uint16_t kStatusLength = 2;

// libusb takes a transfer length as a signed int.
constexpr uint32_t kMaxTransferLength = INT_MAX;

template <typename Endpoint>
Endpoint* findByAddress(std::vector<Endpoint>& endpoints, uint8_t address) {
    for (Endpoint& endpoint : endpoints) {
        if (endpoint.address == address) return &endpoint;
    }
    return nullptr;
}

// Applies a setting to the endpoint with this address, OUT or IN; false when
// no endpoint has it.
template <typename Apply>
bool applyToEndpoint(std::vector<UsbOutEndpoint>& outEndpoints,
                     std::vector<UsbInEndpoint>& inEndpoints, uint8_t address, Apply apply) {
    if (UsbOutEndpoint* endpoint = findByAddress(outEndpoints, address)) {
        apply(*endpoint);
        return true;
    }
    if (UsbInEndpoint* endpoint = findByAddress(inEndpoints, address)) {
        apply(*endpoint);
        return true;
    }
    return false;
}

}  // namespace

bool LibUsbDevice::readPacket(UsbInEndpoint& endpoint) {
    int transferred = 0;
    const int code = libusb_bulk_transfer(handle, endpoint.address, endpoint.buffer.data(),
                                          endpoint.maxPacketSize, &transferred, endpoint.timeout);
    endpoint.position = 0;
    if (code < 0) {
        endpoint.available = 0;
        return false;
    }
    endpoint.available =
        static_cast<uint16_t>(std::clamp<int>(transferred, 0, endpoint.maxPacketSize));
    return true;
}

bool LibUsbDevice::bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) {
    if (inIndex >= inEndpoints.size() || data == nullptr || length == 0 || received == nullptr) {
        return false;
    }
    UsbInEndpoint& endpoint = inEndpoints[inIndex];
    const uint32_t packetSize = endpoint.maxPacketSize;
    // A closed handle (after a failed open the lists may still be filled), an
    // endpoint without packets and a length libusb cannot take are refused.
    if (handle == nullptr || packetSize == 0 || length > kMaxTransferLength) return false;

    const uint32_t buffered = static_cast<uint32_t>(endpoint.available - endpoint.position);
    if (buffered >= length) {
        std::memcpy(data, endpoint.buffer.data() + endpoint.position, length);
        endpoint.position = static_cast<uint16_t>(endpoint.position + length);
        *received = length;
        // A full packet used up: take the zero-length packet that ends the
        // transfer, or the key's next packet, now.
        if (endpoint.zlp != 0 && endpoint.position == endpoint.available &&
            endpoint.available == packetSize) {
            return readPacket(endpoint);
        }
        return true;
    }

    uint32_t copied = buffered;
    if (copied > 0) std::memcpy(data, endpoint.buffer.data() + endpoint.position, copied);
    endpoint.available = 0;
    endpoint.position = 0;

    const uint32_t rest = length - copied;
    if (rest >= packetSize) {
        const uint32_t wholePackets = packetSize * (rest / packetSize);
        int transferred = 0;
        const int code =
            libusb_bulk_transfer(handle, endpoint.address, data + copied,
                                 static_cast<int>(wholePackets), &transferred, endpoint.timeout);
        if (code < 0) return false;
        const uint32_t got = static_cast<uint32_t>(std::clamp<int>(
            transferred, 0, static_cast<int>(wholePackets)));
        copied += got;
        if (got < wholePackets) {
            // The key's transfer has ended.
            *received = copied;
            return true;
        }
    }

    if (copied < length || endpoint.zlp != 0) {
        if (!readPacket(endpoint)) return false;
        if (endpoint.available > 0 && copied < length) {
            const uint32_t n = std::min<uint32_t>(endpoint.available, length - copied);
            std::memcpy(data + copied, endpoint.buffer.data(), n);
            endpoint.position = static_cast<uint16_t>(n);
            copied += n;
        }
    }
    *received = copied;
    return true;
}

bool LibUsbDevice::bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) {
    if (outIndex >= outEndpoints.size() || (data == nullptr && length != 0)) return false;
    const UsbOutEndpoint& endpoint = outEndpoints[outIndex];
    if (handle == nullptr || endpoint.maxPacketSize == 0 || length > kMaxTransferLength) {
        return false;
    }

    // libusb takes a non-const buffer for both directions; it only reads an OUT one.
    uint8_t none = 0;
    uint8_t* bytes = data != nullptr ? const_cast<uint8_t*>(data) : &none;
    int transferred = 0;
    int code = libusb_bulk_transfer(handle, endpoint.address, bytes, static_cast<int>(length),
                                    &transferred, endpoint.timeout);
    if (code < 0 || transferred < 0 || static_cast<uint32_t>(transferred) != length) return false;

    // A write of zero bytes already was the zero-length packet.
    if (endpoint.zlp == 0 || length == 0 || length % endpoint.maxPacketSize != 0) return true;
    code = libusb_bulk_transfer(handle, endpoint.address, &none, 0, &transferred,
                                endpoint.timeout);
    return code >= 0;
}

bool LibUsbDevice::controlTransfer(uint8_t requestType, uint8_t request, uint16_t value,
                                   uint16_t index, uint16_t length, uint8_t* data) {
    if (!isOpen() || (data == nullptr && length != 0)) return false;
    const int code = libusb_control_transfer(handle, requestType, request, value, index, data,
                                             length, kControlTimeoutMs);
    return code == static_cast<int>(length);
}

bool LibUsbDevice::getUsbDeviceStatus(uint8_t* status) {
    return controlTransfer(kToHostStandardDevice, kGetStatus, 0, 0, kStatusLength, status);
}

bool LibUsbDevice::getInterfaceStatus(uint8_t interfaceNumber, uint8_t* status) {
    return controlTransfer(kToHostStandardInterface, kGetStatus, 0, interfaceNumber,
                           kStatusLength, status);
}

bool LibUsbDevice::getEndpointStatus(uint8_t endpoint, uint8_t* status) {
    return controlTransfer(kToHostStandardEndpoint, kGetStatus, 0, endpoint, kStatusLength,
                           status);
}

bool LibUsbDevice::isEndpointHalted(uint8_t address) {
    uint8_t status[kStatusLength] = {0, 0};
    if (!getEndpointStatus(address, status)) return false;
    return (status[0] & kEndpointHaltBit) != 0;
}

bool LibUsbDevice::clearHalt(uint8_t address) {
    if (handle == nullptr) return false;
    return libusb_clear_halt(handle, address) >= 0;
}

bool LibUsbDevice::discardInput(uint8_t address) {
    if (UsbInEndpoint* endpoint = findByAddress(inEndpoints, address)) {
        endpoint->available = 0;
        endpoint->position = 0;
    }
    return true;
}

bool LibUsbDevice::enableZeroLengthPackets(uint8_t address) {
    return applyToEndpoint(outEndpoints, inEndpoints, address,
                           [](auto& endpoint) { endpoint.zlp = 1; });
}

bool LibUsbDevice::setTimeout(uint8_t address, uint32_t milliseconds) {
    return applyToEndpoint(outEndpoints, inEndpoints, address,
                           [milliseconds](auto& endpoint) { endpoint.timeout = milliseconds; });
}

}  // namespace korvene

#include "tests/doubles/virtual_key/virtual_key_device.h"

#include <algorithm>
#include <stdexcept>

namespace korvene::testing {

VirtualKeyDevice::VirtualKeyDevice(VirtualKey& key) : key(key) { open(nullptr, 0); }

bool VirtualKeyDevice::open(libusb_device* device, uint8_t zlp) {
    return openWithStatus(device, zlp) == UsbOpenResult::Ok;
}

UsbOpenResult VirtualKeyDevice::openWithStatus(libusb_device*, uint8_t zlp) {
    close();
    for (uint8_t address : key.state.outEndpoints) outEndpoints.push_back({address, zlp != 0, 0});
    for (uint8_t address : key.state.inEndpoints) inEndpoints.push_back({address, zlp != 0, 0});
    opened = true;
    return UsbOpenResult::Ok;
}

void VirtualKeyDevice::close() {
    outEndpoints.clear();
    inEndpoints.clear();
    input.clear();
    opened = false;
}

uint8_t VirtualKeyDevice::outEndpointAddress(uint32_t index) const { return outEndpoints.at(index).address; }
uint8_t VirtualKeyDevice::inEndpointAddress(uint32_t index) const { return inEndpoints.at(index).address; }

VirtualKeyDevice::Endpoint* VirtualKeyDevice::find(uint8_t address) {
    for (auto* list : {&outEndpoints, &inEndpoints}) {
        for (Endpoint& endpoint : *list) {
            if (endpoint.address == address) return &endpoint;
        }
    }
    return nullptr;
}

const VirtualKeyDevice::Endpoint* VirtualKeyDevice::find(uint8_t address) const {
    return const_cast<VirtualKeyDevice*>(this)->find(address);
}

uint32_t VirtualKeyDevice::timeoutOf(uint8_t address) const {
    const Endpoint* endpoint = find(address);
    return endpoint != nullptr ? endpoint->timeout : 0;
}

bool VirtualKeyDevice::zeroLengthPacketsEnabled(uint8_t address) const {
    const Endpoint* endpoint = find(address);
    return endpoint != nullptr && endpoint->zlp;
}

bool VirtualKeyDevice::enableZeroLengthPackets(uint8_t address) {
    Endpoint* endpoint = find(address);
    if (endpoint == nullptr) return false;
    endpoint->zlp = true;
    return true;
}

bool VirtualKeyDevice::setTimeout(uint8_t address, uint32_t milliseconds) {
    Endpoint* endpoint = find(address);
    if (endpoint == nullptr) return false;
    endpoint->timeout = milliseconds;
    return true;
}

bool VirtualKeyDevice::controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                       uint16_t length, uint8_t* data) {
    if (!opened || key.disconnected()) return false;
    return key.controlRequest(requestType, request, value, index, length, data) == length;
}

bool VirtualKeyDevice::bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) {
    if (beforeBulkWrite) beforeBulkWrite(data, length);
    if (outIndex >= outEndpoints.size() || (data == nullptr && length != 0)) return false;
    ++writeCalls;
    if (knobs.failBulkWrite > 0 && writeCalls == static_cast<size_t>(knobs.failBulkWrite)) return false;
    if (key.disconnected()) return false;
    // Frames travel on the first OUT endpoint only; the others accept nothing.
    if (outIndex != 0) return false;
    key.receive(data, length);
    if (outEndpoints[0].zlp && length % kVirtualMaxPacket == 0) key.receive(nullptr, 0);
    return true;
}

bool VirtualKeyDevice::bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) {
    if (inIndex >= inEndpoints.size() || data == nullptr || length == 0 || received == nullptr) return false;
    ++readCalls;
    if (knobs.failBulkRead > 0 && readCalls == static_cast<size_t>(knobs.failBulkRead)) return false;
    if (inIndex == 0) {
        while (key.hasResponse()) {
            const std::vector<uint8_t> response = key.takeResponse();
            input.insert(input.end(), response.begin(), response.end());
        }
    }
    if (inIndex != 0 || input.empty()) {
        // Nothing comes: the transfer times out.
        if (inEndpoints[inIndex].timeout == 0) ++unboundedWaitCount;
        return false;
    }
    const size_t count = std::min<size_t>(length, input.size());
    std::copy_n(input.begin(), count, data);
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(count));
    *received = static_cast<uint32_t>(count);
    return true;
}

bool VirtualKeyDevice::clearHalt(uint8_t address) {
    return controlTransfer(usb::StandardEndpointOut, usb::ClearFeature, usb::EndpointHaltFeature, address, 0, nullptr);
}

bool VirtualKeyDevice::discardInput(uint8_t address) {
    if (!inEndpoints.empty() && inEndpoints[0].address == address) input.clear();
    return true;
}

}  // namespace korvene::testing

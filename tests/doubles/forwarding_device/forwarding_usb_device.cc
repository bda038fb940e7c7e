#include "tests/doubles/forwarding_device/forwarding_usb_device.h"

#include <utility>

namespace korvene::testing {

ForwardingUsbDevice::ForwardingUsbDevice(std::unique_ptr<KvUsbDevice> inner) : device(std::move(inner)) {}

void ForwardingUsbDevice::close() { device->close(); }
bool ForwardingUsbDevice::isOpen() const { return device->isOpen(); }
size_t ForwardingUsbDevice::outEndpointCount() const { return device->outEndpointCount(); }
size_t ForwardingUsbDevice::inEndpointCount() const { return device->inEndpointCount(); }
uint8_t ForwardingUsbDevice::outEndpointAddress(uint32_t index) const { return device->outEndpointAddress(index); }
uint8_t ForwardingUsbDevice::inEndpointAddress(uint32_t index) const { return device->inEndpointAddress(index); }

bool ForwardingUsbDevice::enableZeroLengthPackets(uint8_t address) {
    return device->enableZeroLengthPackets(address);
}

bool ForwardingUsbDevice::setTimeout(uint8_t address, uint32_t milliseconds) {
    return device->setTimeout(address, milliseconds);
}

bool ForwardingUsbDevice::controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                          uint16_t length, uint8_t* data) {
    return device->controlTransfer(requestType, request, value, index, length, data);
}

bool ForwardingUsbDevice::bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) {
    return device->bulkWrite(outIndex, data, length);
}

bool ForwardingUsbDevice::bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) {
    return device->bulkRead(inIndex, data, length, received);
}

bool ForwardingUsbDevice::isEndpointHalted(uint8_t address) { return device->isEndpointHalted(address); }
bool ForwardingUsbDevice::discardInput(uint8_t address) { return device->discardInput(address); }
bool ForwardingUsbDevice::clearHalt(uint8_t address) { return device->clearHalt(address); }
bool ForwardingUsbDevice::open(libusb_device* usbDevice, uint8_t zlp) { return device->open(usbDevice, zlp); }

UsbOpenResult ForwardingUsbDevice::openWithStatus(libusb_device* usbDevice, uint8_t zlp) {
    return device->openWithStatus(usbDevice, zlp);
}

bool ForwardingUsbDevice::getEndpointStatus(uint8_t endpoint, uint8_t* status) {
    return device->getEndpointStatus(endpoint, status);
}

bool ForwardingUsbDevice::getInterfaceStatus(uint8_t interfaceNumber, uint8_t* status) {
    return device->getInterfaceStatus(interfaceNumber, status);
}

bool ForwardingUsbDevice::getUsbDeviceStatus(uint8_t* status) { return device->getUsbDeviceStatus(status); }

}  // namespace korvene::testing

#include "device/usb/libusb_enumerator.h"

#include <libusb.h>

namespace korvene {

namespace {

// Frees the system's device list with the references it holds, also when
// reserving room for the matches runs out of memory.
class DeviceListGuard {
public:
    explicit DeviceListGuard(libusb_device** list) : list(list) {}
    ~DeviceListGuard() { libusb_free_device_list(list, 1); }
    DeviceListGuard(const DeviceListGuard&) = delete;
    DeviceListGuard& operator=(const DeviceListGuard&) = delete;

private:
    libusb_device** list;
};

}  // namespace

LibUsbEnumerator::LibUsbEnumerator(uint16_t vendorId, uint16_t productId)
    : vendorId(vendorId), productId(productId) {}

LibUsbEnumerator::~LibUsbEnumerator() {
    releaseDevices();
}

void LibUsbEnumerator::releaseDevices() {
    for (libusb_device* device : devices) libusb_unref_device(device);
    devices.clear();
}

bool LibUsbEnumerator::scan() {
    releaseDevices();

    libusb_device** list = nullptr;
    const ssize_t listed = libusb_get_device_list(nullptr, &list);
    if (listed < 0) return false;
    const DeviceListGuard freeList(list);

    devices.reserve(static_cast<size_t>(listed));
    for (size_t i = 0; list[i] != nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) < 0) continue;
        if (descriptor.idVendor == vendorId && descriptor.idProduct == productId) {
            devices.push_back(libusb_ref_device(list[i]));
        }
    }
    return !devices.empty();
}

bool LibUsbEnumerator::isEmpty() const {
    return devices.empty();
}

size_t LibUsbEnumerator::count() const {
    return devices.size();
}

UsbOpenResult LibUsbEnumerator::openListed(size_t index, std::unique_ptr<LibUsbDevice>& device) {
    device = std::make_unique<LibUsbDevice>();
    return device->openWithStatus(devices.at(index), 0);
}

KvUsbDevice* LibUsbEnumerator::openDevice(size_t index) {
    std::unique_ptr<LibUsbDevice> device;
    if (openListed(index, device) != UsbOpenResult::Ok) return nullptr;
    return device.release();
}

UsbOpenResult LibUsbEnumerator::openDeviceWithStatus(size_t index, KvUsbDevice** out) {
    if (out == nullptr) return UsbOpenResult::Failed;
    *out = nullptr;
    std::unique_ptr<LibUsbDevice> device;
    try {
        const UsbOpenResult result = openListed(index, device);
        if (result != UsbOpenResult::Ok) return result;
    } catch (...) {
        return UsbOpenResult::Failed;
    }
    *out = device.release();
    return UsbOpenResult::Ok;
}

}  // namespace korvene

#include "tests/doubles/virtual_key/virtual_key_enumerator.h"

#include <memory>
#include <utility>

namespace korvene::testing {

VirtualKeyEnumerator::VirtualKeyEnumerator(VirtualKey& key) : key(key) {}

bool VirtualKeyEnumerator::scan() {
    ++scans;
    listed = attached;
    return listed > 0;
}

KvUsbDevice* VirtualKeyEnumerator::openDevice(size_t index) {
    KvUsbDevice* device = nullptr;
    openDeviceWithStatus(index, &device);
    return device;
}

UsbOpenResult VirtualKeyEnumerator::openDeviceWithStatus(size_t index, KvUsbDevice** out) {
    ++opens;
    *out = nullptr;
    if (index >= listed) return UsbOpenResult::Failed;
    if (openResult != UsbOpenResult::Ok) return openResult;
    auto device = std::make_unique<VirtualKeyDevice>(key);
    device->knobs = deviceKnobs;
    lastOpened = device.get();
    std::unique_ptr<KvUsbDevice> handed = std::move(device);
    if (wrapOpened) handed = wrapOpened(std::move(handed));
    *out = handed.release();
    return UsbOpenResult::Ok;
}

}  // namespace korvene::testing

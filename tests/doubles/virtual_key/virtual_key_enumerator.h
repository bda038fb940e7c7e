#pragma once

// A KvUsbEnumerator that lists the virtual key and hands out a VirtualKeyDevice
// bound to it. Like the real one it lists nothing until its first scan.

#include <cstddef>
#include <functional>
#include <memory>

#include "device/usb/kv_usb_enumerator.h"
#include "tests/doubles/virtual_key/virtual_key.h"
#include "tests/doubles/virtual_key/virtual_key_device.h"

namespace korvene::testing {

class VirtualKeyEnumerator final : public KvUsbEnumerator {
public:
    explicit VirtualKeyEnumerator(VirtualKey& key);

    // How many devices a scan lists; each of them is the one virtual key.
    size_t attached = 1;
    // What opening answers; anything but Ok hands out no device.
    UsbOpenResult openResult = UsbOpenResult::Ok;
    // Transport faults given to every device it opens.
    VirtualKeyDevice::Knobs deviceKnobs;
    // When set, every device it opens is handed out through this wrapper (a
    // forwarding device that watches a few calls, say).
    std::function<std::unique_ptr<KvUsbDevice>(std::unique_ptr<KvUsbDevice>)> wrapOpened;

    size_t scans = 0;
    size_t opens = 0;  // openDevice and openDeviceWithStatus calls
    // The device handed out last. Its owner (the session) decides how long it
    // lives; do not use it after that.
    VirtualKeyDevice* lastOpened = nullptr;

    bool scan() override;
    bool isEmpty() const override { return listed == 0; }
    size_t count() const override { return listed; }
    KvUsbDevice* openDevice(size_t index) override;
    UsbOpenResult openDeviceWithStatus(size_t index, KvUsbDevice** out) override;

private:
    VirtualKey& key;
    size_t listed = 0;
};

}  // namespace korvene::testing

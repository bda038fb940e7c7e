#pragma once

#include <cstddef>

#include "device/usb/kv_usb_device.h"
#include "device/usb/usb_open_result.h"

namespace korvene {

// Lists the attached devices of one vendor and product ID and opens one of
// them by its index in the list of the last scan.
class KvUsbEnumerator {
public:
    virtual ~KvUsbEnumerator() {}

    // Rebuilds the list; true if at least one device matched.
    virtual bool scan() = 0;
    virtual bool isEmpty() const = 0;
    virtual size_t count() const = 0;
    // Opens listed device `index`; the caller owns the result; null on failure.
    virtual KvUsbDevice* openDevice(size_t index) = 0;
    // Opens listed device `index` and hands it out through `out` (caller owns it).
    virtual UsbOpenResult openDeviceWithStatus(size_t index, KvUsbDevice** out) = 0;
};

}  // namespace korvene

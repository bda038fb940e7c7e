#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "device/usb/kv_usb_enumerator.h"
#include "device/usb/libusb_device.h"
#include "device/usb/usb_open_result.h"

struct libusb_device;

namespace korvene {

// Lists the attached USB devices whose device descriptor carries one vendor ID
// and one product ID, on libusb's default context. It holds one libusb
// reference on every listed device and never an open handle.
class LibUsbEnumerator : public KvUsbEnumerator {
public:
    // Makes no libusb call; the list stays empty until the first scan.
    LibUsbEnumerator(uint16_t vendorId, uint16_t productId);
    ~LibUsbEnumerator() override;
    LibUsbEnumerator(const LibUsbEnumerator&) = delete;
    LibUsbEnumerator& operator=(const LibUsbEnumerator&) = delete;

    bool scan() override;
    bool isEmpty() const override;
    size_t count() const override;
    // Throws std::out_of_range for an index at or beyond count().
    KvUsbDevice* openDevice(size_t index) override;
    // Never throws: a bad index or any exception gives Failed.
    UsbOpenResult openDeviceWithStatus(size_t index, KvUsbDevice** out) override;

private:
    // Drops the references of the last scan and empties the list.
    void releaseDevices();
    // Makes a closed device in `device` and opens listed device `index` on it.
    UsbOpenResult openListed(size_t index, std::unique_ptr<LibUsbDevice>& device);

    uint16_t vendorId;
    uint16_t productId;
    std::vector<libusb_device*> devices;
};

}  // namespace korvene

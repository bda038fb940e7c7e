#pragma once

#include <cstdint>

namespace korvene {

// Result of opening a USB device. Values are fixed: callers log and compare them.
enum class UsbOpenResult : int32_t {
    Ok = 0,
    Failed = 1,        // every failure not named below
    AccessDenied = 2,  // LIBUSB_ERROR_ACCESS
    NoDevice = 3,      // LIBUSB_ERROR_NO_DEVICE
    Busy = 4,          // LIBUSB_ERROR_BUSY
};

// Maps a libusb return code to an open result. This is the only place where a
// libusb code becomes something the layers above understand.
UsbOpenResult toUsbOpenResult(int libusbCode);

}  // namespace korvene

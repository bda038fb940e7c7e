#include "device/usb/usb_open_result.h"

#include <libusb.h>

namespace korvene {

UsbOpenResult toUsbOpenResult(int libusbCode) {
    switch (libusbCode) {
        case LIBUSB_SUCCESS:
            return UsbOpenResult::Ok;
        case LIBUSB_ERROR_ACCESS:
            return UsbOpenResult::AccessDenied;
        case LIBUSB_ERROR_NO_DEVICE:
            return UsbOpenResult::NoDevice;
        case LIBUSB_ERROR_BUSY:
            return UsbOpenResult::Busy;
        default:
            return UsbOpenResult::Failed;
    }
}

}  // namespace korvene

#include "device/usb/usb_backend.h"

#include <libusb.h>

#include "device/usb/key_usb_identity.h"
#include "device/usb/libusb_enumerator.h"

namespace korvene {

int libUsbInitialize(libusb_context** context) {
    return libusb_init(context);
}

void libUsbExit(libusb_context* context) {
    libusb_exit(context);
}

bool usbInitialize() {
    return libUsbInitialize(nullptr) >= 0;
}

void usbExit() {
    libUsbExit(nullptr);
}

std::unique_ptr<KvUsbEnumerator> createUsbEnumerator() {
    return std::make_unique<LibUsbEnumerator>(kKeyVendorId, kKeyProductId);
}

bool scanUsbDevices(std::unique_ptr<KvUsbEnumerator>& holder) {
    return holder != nullptr && holder->scan();
}

size_t countUsbDevices(std::unique_ptr<KvUsbEnumerator>& holder) {
    return holder != nullptr ? holder->count() : 0;
}

void destroyUsbEnumerator(std::unique_ptr<KvUsbEnumerator>& holder) {
    holder.reset();
}

}  // namespace korvene

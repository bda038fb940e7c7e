#pragma once

#include <cstddef>
#include <memory>

#include "device/usb/kv_usb_enumerator.h"

struct libusb_context;

namespace korvene {

// Starts libusb on its default context; true iff libusb_init succeeded.
bool usbInitialize();
// Stops libusb on its default context. Every device opened through the
// backend must be closed before.
void usbExit();

// An enumerator for the key's vendor ID and product ID.
std::unique_ptr<KvUsbEnumerator> createUsbEnumerator();
// The held enumerator's scan; false for an empty holder.
bool scanUsbDevices(std::unique_ptr<KvUsbEnumerator>& holder);
// The held enumerator's count; 0 for an empty holder.
size_t countUsbDevices(std::unique_ptr<KvUsbEnumerator>& holder);
// Deletes the held enumerator; an empty holder is left alone. Devices opened
// through it stay open.
void destroyUsbEnumerator(std::unique_ptr<KvUsbEnumerator>& holder);

// Thin wrappers over libusb_init and libusb_exit that pass the context through.
int libUsbInitialize(libusb_context** context);
void libUsbExit(libusb_context* context);

}  // namespace korvene

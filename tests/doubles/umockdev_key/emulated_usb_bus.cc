#include "tests/doubles/umockdev_key/emulated_usb_bus.h"

#include <glib.h>

#include <cstdio>

#include "tests/doubles/umockdev_key/usb_key_descriptors.h"
#include "tests/doubles/virtual_key/virtual_key.h"

namespace korvene::testing {
namespace {

constexpr unsigned kBus = 1;
constexpr unsigned kFirstAddress = 2;  // address 1 is the root hub's

std::string threeDigits(unsigned number) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "%03u", number);
    return text;
}

// The device's node below /dev, as usbfs names it.
std::string nodeName(unsigned address) { return "bus/usb/" + threeDigits(kBus) + "/" + threeDigits(address); }

// The device as umockdev records it: sysfs path, /dev node, udev properties
// (what libusb's udev scan matches on), and the sysfs attributes libusb reads
// instead of asking the device: bus and address, speed, the active
// configuration, and the raw descriptors.
std::string deviceRecord(const VirtualKey& key, unsigned port, unsigned address) {
    const std::string node = nodeName(address);
    std::string record;
    record += "P: /devices/usb" + std::to_string(kBus) + "/" + std::to_string(kBus) + "-" + std::to_string(port) + "\n";
    record += "N: " + node + "\n";
    record += "E: SUBSYSTEM=usb\n";
    record += "E: DEVTYPE=usb_device\n";
    record += "E: DEVNAME=/dev/" + node + "\n";
    record += "E: BUSNUM=" + threeDigits(kBus) + "\n";
    record += "E: DEVNUM=" + threeDigits(address) + "\n";
    record += "A: busnum=" + std::to_string(kBus) + "\n";
    record += "A: devnum=" + std::to_string(address) + "\n";
    record += "A: speed=12\n";  // full speed: 64-byte bulk packets
    record += "A: bConfigurationValue=1\n";
    record += "H: descriptors=" + upperHex(keyDescriptors(key)) + "\n";
    return record;
}

}  // namespace

EmulatedUsbBus::EmulatedUsbBus() : testbed(umockdev_testbed_new()) {
    gchar* dir = umockdev_testbed_get_root_dir(testbed);
    rootDir = dir;
    g_free(dir);
}

EmulatedUsbBus::~EmulatedUsbBus() {
    // The testbed goes first: it detaches the handlers from their nodes.
    g_object_unref(testbed);
    handlers.clear();
}

bool EmulatedUsbBus::attach(VirtualKey& key, const EmulatedKeyOptions& options, std::string* error) {
    const unsigned port = static_cast<unsigned>(handlers.size()) + 1;
    const unsigned address = kFirstAddress + static_cast<unsigned>(handlers.size());
    GError* failure = nullptr;
    std::string record;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record = deviceRecord(key, port, address);
    }
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &failure)) {
        if (error != nullptr) *error = failure->message;
        g_error_free(failure);
        return false;
    }
    auto handler = std::make_unique<UsbdevfsKeyHandler>(key, options, mutex);
    const std::string node = "/dev/" + nodeName(address);
    if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), handler->ioctlBase(), &failure)) {
        if (error != nullptr) *error = failure->message;
        g_error_free(failure);
        return false;
    }
    handlers.push_back(std::move(handler));
    return true;
}

}  // namespace korvene::testing

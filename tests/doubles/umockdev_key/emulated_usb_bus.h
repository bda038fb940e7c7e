#pragma once

// An emulated USB bus on which virtual keys appear as real USB devices to any
// program started under umockdev's preload library with UMOCKDEV_DIR set to
// root(): real libusb finds them through udev and sysfs, reads their
// descriptors, opens their /dev nodes and talks to them through usbdevfs
// ioctls, which the key's handler answers from the key model in this process.
//
// A test builds the keys, attaches them, runs the program, and then reads the
// keys under lockKeys(). No key attached is a bus without devices.

#include <umockdev.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/doubles/umockdev_key/usbdevfs_key_handler.h"

namespace korvene::testing {

class VirtualKey;

class EmulatedUsbBus {
public:
    EmulatedUsbBus();
    ~EmulatedUsbBus();
    EmulatedUsbBus(const EmulatedUsbBus&) = delete;
    EmulatedUsbBus& operator=(const EmulatedUsbBus&) = delete;

    // Plugs `key` in as the next device of bus 1 (ports 1, 2, ...; addresses
    // 2, 3, ...), with the descriptors of its endpoints. The key must outlive
    // the bus. False, with `error` set, when umockdev refuses the device.
    bool attach(VirtualKey& key, const EmulatedKeyOptions& options = {}, std::string* error = nullptr);

    // The testbed's root: the value of UMOCKDEV_DIR for the program under test.
    const std::string& root() const { return rootDir; }

    // Held while the test reads or changes an attached key, so that the
    // handlers on umockdev's worker thread do not touch it meanwhile.
    std::unique_lock<std::mutex> lockKeys() { return std::unique_lock<std::mutex>(mutex); }

private:
    UMockdevTestbed* testbed;
    std::string rootDir;
    std::mutex mutex;
    std::vector<std::unique_ptr<UsbdevfsKeyHandler>> handlers;
};

}  // namespace korvene::testing

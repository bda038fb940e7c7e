#pragma once

// The virtual key's in-process front door behind a stopwatch: every transfer
// that reaches the key (where the model parses, deciphers, answers and logs)
// adds its duration to a running total, so that a benchmark can take the key's
// share out of the time of an update and keep the host's.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "device/usb/kv_usb_enumerator.h"
#include "tests/doubles/forwarding_device/forwarding_usb_device.h"
#include "tests/doubles/virtual_key/virtual_key.h"

namespace korvene::bench {

// Time spent inside the key.
struct KeyStopwatch {
    std::chrono::nanoseconds total{0};
};

class TimedKeyDevice final : public testing::ForwardingUsbDevice {
public:
    TimedKeyDevice(testing::VirtualKey& key, KeyStopwatch& stopwatch);

    bool controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                         uint8_t* data) override;
    bool bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) override;
    bool bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) override;

private:
    KeyStopwatch& stopwatch;
};

// Lists the one virtual key and opens it as a TimedKeyDevice.
class TimedKeyEnumerator final : public KvUsbEnumerator {
public:
    TimedKeyEnumerator(testing::VirtualKey& key, KeyStopwatch& stopwatch);

    bool scan() override { return true; }
    bool isEmpty() const override { return false; }
    size_t count() const override { return 1; }
    KvUsbDevice* openDevice(size_t index) override;
    UsbOpenResult openDeviceWithStatus(size_t index, KvUsbDevice** out) override;

private:
    testing::VirtualKey& key;
    KeyStopwatch& stopwatch;
};

}  // namespace korvene::bench

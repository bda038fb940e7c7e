#include "bench/timed_key_device.h"

#include <memory>

#include "tests/doubles/virtual_key/virtual_key_device.h"

namespace korvene::bench {
namespace {

// Runs `call` and adds its duration to the stopwatch.
template <typename Call>
bool timed(KeyStopwatch& stopwatch, Call call) {
    const auto start = std::chrono::steady_clock::now();
    const bool result = call();
    stopwatch.total += std::chrono::steady_clock::now() - start;
    return result;
}

}  // namespace

TimedKeyDevice::TimedKeyDevice(testing::VirtualKey& key, KeyStopwatch& stopwatch)
    : ForwardingUsbDevice(std::make_unique<testing::VirtualKeyDevice>(key)), stopwatch(stopwatch) {}

bool TimedKeyDevice::controlTransfer(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                     uint16_t length, uint8_t* data) {
    return timed(stopwatch, [&] {
        return ForwardingUsbDevice::controlTransfer(requestType, request, value, index, length, data);
    });
}

bool TimedKeyDevice::bulkWrite(uint32_t outIndex, const uint8_t* data, uint32_t length) {
    return timed(stopwatch, [&] { return ForwardingUsbDevice::bulkWrite(outIndex, data, length); });
}

bool TimedKeyDevice::bulkRead(uint32_t inIndex, uint8_t* data, uint32_t length, uint32_t* received) {
    return timed(stopwatch, [&] { return ForwardingUsbDevice::bulkRead(inIndex, data, length, received); });
}

TimedKeyEnumerator::TimedKeyEnumerator(testing::VirtualKey& key, KeyStopwatch& stopwatch)
    : key(key), stopwatch(stopwatch) {}

KvUsbDevice* TimedKeyEnumerator::openDevice(size_t index) {
    KvUsbDevice* device = nullptr;
    openDeviceWithStatus(index, &device);
    return device;
}

UsbOpenResult TimedKeyEnumerator::openDeviceWithStatus(size_t index, KvUsbDevice** out) {
    *out = nullptr;
    if (index != 0) return UsbOpenResult::Failed;
    *out = new TimedKeyDevice(key, stopwatch);
    return UsbOpenResult::Ok;
}

}  // namespace korvene::bench
